#pragma once
// CRC-64/ECMA-182 in the reflected form object stores report
// (x-oss-hash-crc64ecma): polynomial 0x42F0E1EBA9EA3693 bit-reversed,
// register started at all ones and inverted at the end. Values are the
// reported ones, so update() continues from a previous result and the
// empty input's value is 0. Pure functions: thread-safe, no GIL needed.
#include <cstddef>
#include <cstdint>

namespace kestro::crc64 {

// The CRC of the bytes that gave `crc`, followed by data[0..n).
std::uint64_t update(std::uint64_t crc, const void* data, std::size_t n) noexcept;

// The CRC of A followed by B, from crc(A), crc(B) and B's length.
std::uint64_t combine(std::uint64_t crc_a, std::uint64_t crc_b, std::uint64_t length_b) noexcept;

}  // namespace kestro::crc64
