#pragma once
// Unique names for local work files. Thread-safe, no GIL needed.
#include <string>

namespace kestro::ids {

// 32 lowercase hex digits of a fresh RFC 4122 version-1 UUID. Timestamps
// never repeat within the process; clock sequence and node are random per
// process (multicast bit set, as for a node that is not a MAC address).
std::string uuid1_hex();

// Local time now as "YYYYMMDD_HHmmSS".
std::string local_stamp();

}  // namespace kestro::ids
