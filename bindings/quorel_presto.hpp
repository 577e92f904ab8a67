#pragma once
// The Presto path of kestro.quorel.quorel (quorel_presto.cpp).
#include <pybind11/pybind11.h>

namespace kestro::quorel {

// Adds get_data_raw_pyhive and get_data_raw_pyhive_i to the ThinkDataQuery
// class `cls`; once, from the module's init. GIL held.
void register_presto(pybind11::object cls);

}  // namespace kestro::quorel
