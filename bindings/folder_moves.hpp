#pragma once
// What the two stores' folder uploads do alike once every file is sent.
// GIL must be held.
#include <string>
#include <vector>

#include "common.hpp"
#include "kestro/folder_plan.hpp"

namespace kestro::py_common {

// Removes the uploaded files that are still as they were listed, and the
// folders that leaves empty; a file changed since (it may have been sent in
// part) stays, with one task-log line saying so.
inline void remove_uploaded(py::handle ctx, const std::string& folder,
                            const std::vector<kestro::folder_plan::FileTask>& sent) {
  std::vector<std::string> kept = without_gil([&] { return kestro::folder_plan::remove_sent_unchanged(folder, sent); });
  for (const auto& path : kept) clog(ctx, path + " changed while it was uploaded, kept");
}

}  // namespace kestro::py_common
