// kestro.common.defines: local work files (unique names under the media
// root, silent removal, code paths).
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "defines_parts.hpp"
#include "kestro/fs.hpp"
#include "kestro/ids.hpp"
#include "kestro/path_text.hpp"

namespace kestro::defines {

using kestro::py_common::catch_ordinary;
using kestro::py_common::try_fspath_text;
using kestro::py_common::without_gil;

namespace {

// The text form of a part of a file name; Et(2) naming it for a NUL (no
// file can be made by that name) or a text that is not valid.
std::string name_part(py::handle value, const char* name) {
  return kestro::py_common::text_arg(py::str(value), name);
}

std::string unique_name_in(py::object pre_path, py::object pre_name, std::string* folder_out) {
  std::string media = kestro::text::posix_join(kestro::py_common::data_root(), "media");
  py::object folder_obj = module_attr("os").attr("path").attr("join")(media, "docs", pre_path);
  std::string folder = kestro::py_common::text_arg(folder_obj, "pre_path");
  std::string prefix = name_part(pre_name, "pre_name");
  without_gil([&] { kestro::fs::make_dirs(folder); });
  *folder_out = folder;
  return prefix + kestro::ids::uuid1_hex() + "_" + kestro::ids::local_stamp();
}

std::string gen_local_unique_file(py::object, py::object pre_path, py::object pre_name, py::object ext) {
  std::string ext_text = name_part(ext, "ext");
  std::string folder;
  std::string name = unique_name_in(pre_path, pre_name, &folder);
  return kestro::text::posix_join(folder, name + "." + ext_text);
}

std::string gen_local_unique_path(py::object, py::object pre_path, py::object pre_name, py::object is_create) {
  std::string folder;
  std::string name = unique_name_in(pre_path, pre_name, &folder);
  std::string path = kestro::text::posix_join(folder, name);
  if (kestro::py_common::truthy(is_create)) without_gil([&] { kestro::fs::make_dirs(path); });
  return path;
}

void remove_file(py::object, py::object file_path) {
  std::optional<std::string> path = try_fspath_text(file_path);
  if (!path) return;
  py::gil_scoped_release unlocked;
  kestro::fs::remove_file(*path);
}

void remove_folder(py::object, py::object folder_path) {
  std::optional<std::string> path = try_fspath_text(folder_path);
  if (!path) return;
  py::gil_scoped_release unlocked;
  kestro::fs::remove_tree(*path);
}

py::object get_file_path(py::object, py::object path) {
  if (!py::isinstance<py::str>(path) && !py::isinstance<py::bytes>(path) && !py::hasattr(path, "__fspath__"))
    kestro::py_common::refuse_type("path", "str, bytes or os.PathLike", path);
  py::object join = module_attr("os").attr("path").attr("join");
  py::object in_service;
  if (!catch_ordinary([&] { in_service = join(module_attr("settings").attr("BASE_DIR"), join("dags/sptasks/p_code", path)); }))
    return in_service;
  py::object norm = module_attr("os").attr("path").attr("normpath")(path);
  std::string text = py::str(norm);
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = text.find('/', start);
    parts.push_back(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::size_t drop = parts.front() == "." ? 2 : 1;
  std::string out;
  for (std::size_t k = drop; k < parts.size(); ++k) {
    if (k > drop) out += '/';
    out += parts[k];
  }
  return py::str(out);
}

}  // namespace

void define_work_files(ClassBuilder& base) {
  base.def("gen_local_unique_file", &gen_local_unique_file, py::arg("pre_path") = "", py::arg("pre_name") = "",
           py::arg("ext") = "csv")
      .def("gen_local_unique_path", &gen_local_unique_path, py::arg("pre_path") = "", py::arg("pre_name") = "",
           py::arg("is_create") = false)
      .def("remove_file", &remove_file, py::arg("file_path"))
      .def("remove_folder", &remove_folder, py::arg("folder_path"))
      .def("get_file_path", &get_file_path, py::arg("path"));
}

}  // namespace kestro::defines
