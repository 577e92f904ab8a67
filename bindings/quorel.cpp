// kestro.quorel.quorel: SQL on the analytics platform, the result written
// block by block into a local CSV file.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common.hpp"
#include "kestro/fs.hpp"
#include "kestro/ids.hpp"
#include "kestro/text.hpp"
#include "pyclass.hpp"
#include "quorel_csv.hpp"

namespace py = pybind11;
using kestro::py_common::ClassBuilder;

// Replaced by the strong definition in quorel_presto.cpp when that file is
// part of the module.
__attribute__((weak)) void register_presto(py::module_& /*m*/, py::object /*cls*/) {}

namespace {

std::string result_folder() {
  return kestro::text::posix_join(kestro::text::posix_join(kestro::py_common::data_root(), "media"), "docs");
}

void init(py::object self, py::object query_uri, py::object token, py::object hive_conn_info) {
  self.attr("query_uri") = query_uri;
  self.attr("token") = token;
  self.attr("hive_conn_info") = hive_conn_info;
}

std::string gen_local_unique_file(py::object /*self*/, py::object ext) {
  std::string ext_text = py::str(ext);
  std::string folder = result_folder();
  kestro::quorel::without_gil([&] { kestro::fs::make_dirs(folder); });
  std::string name = kestro::ids::uuid1_hex();
  name += kestro::ids::uuid1_hex();
  return kestro::text::posix_join(folder, name + "." + ext_text);
}

bool g_to_csv_notmp(py::object /*self*/, py::object filepath, py::object df, py::object index, py::object compression,
                    py::object mode, py::object header) {
  py::dict kwargs;
  // Only an explicit None drops the row labels; any other value (False
  // included) leaves pandas' default, which writes them.
  if (index.is_none()) kwargs["index"] = py::none();
  if (!compression.is_none()) kwargs["compression"] = compression;
  kwargs["mode"] = mode;
  kwargs["header"] = header;
  df.attr("to_csv")(filepath, **kwargs);
  return true;
}

// The CSV text of `rows` under `cols`, as the Presto path writes it; for
// tests that compare the writer with pandas.
py::bytes csv_text(py::object cols, py::object rows) {
  std::string out = kestro::quorel::csv_header_py(cols);
  std::size_t ncols = py::len(cols);
  for (py::handle row : rows) kestro::quorel::append_py_row(out, row, ncols);
  return py::bytes(out);
}

}  // namespace

PYBIND11_MODULE(quorel, m) {
  kestro::py_common::bind_defines(m);
  ClassBuilder cls(m, "ThinkDataQuery", py::make_tuple(py::module_::import("builtins").attr("object")));
  // One list object shared by every call, as a Python default value is.
  py::list default_conn;
  default_conn.append("host");
  default_conn.append(0);
  cls.def_init(&init, py::arg("query_uri"), py::arg("token"), py::arg("hive_conn_info") = default_conn)
      .def("gen_local_unique_file", &gen_local_unique_file, py::arg("ext") = "csv")
      .def("g_to_csv_notmp", &g_to_csv_notmp, py::arg("filepath"), py::arg("df"), py::arg("index") = true,
           py::arg("compression") = py::none(), py::arg("mode") = "w", py::arg("header") = true);
  m.def("_csv_text", &csv_text, py::arg("cols"), py::arg("rows"));
  register_presto(m, cls.cls());
}
