#pragma once
// The Presto path of kestro.quorel.quorel (quorel_presto.cpp), and the
// connection and certificate checks both query paths share. Every function
// here needs the GIL.
#include <pybind11/pybind11.h>

namespace kestro::quorel {

// Refuses a `hive_conn_info` that is not [host, port]: a list or tuple of
// two, the host a text, the port an int or a text of digits, from 0 (the
// default's placeholder) to 65535; from 1 when `for_query`. TypeError for
// a wrong type, Et(2) for a wrong value. GIL held.
void check_conn_info(pybind11::handle conn_info, bool for_query);

// Refuses a certificate check that is not True, False or the path (str or
// os.PathLike) of an existing CA bundle file or folder, naming `name`.
void check_verify(pybind11::handle verify, const char* name);

// What both query paths hand to requests as `verify`: the client's own
// `verify` when it is not None, else the host setting KESTRO_QUERY_VERIFY,
// else False (certificates not checked). GIL held.
pybind11::object verify_of(pybind11::handle client);

// Adds get_data_raw_pyhive and get_data_raw_pyhive_i to the ThinkDataQuery
// class `cls`; once, from the module's init. GIL held.
void register_presto(pybind11::object cls);

}  // namespace kestro::quorel
