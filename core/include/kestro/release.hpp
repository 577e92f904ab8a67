#pragma once
// Release numbers of the libraries kestro adapts to ("1.37.38"). Pure C++,
// safe without the GIL, no shared state.
#include <string_view>

namespace kestro::release {

// True when `version` is a plain release (decimal numbers joined by single
// dots, nothing else: no pre-release or local tag) with
// lowest <= version < below, numbers compared one by one, missing ones
// counting as 0 ("1.45" == "1.45.0"). Anything else, an unreadable bound
// included, is outside.
bool in_range(std::string_view version, std::string_view lowest, std::string_view below);

}  // namespace kestro::release
