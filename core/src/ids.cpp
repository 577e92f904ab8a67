#include "kestro/ids.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <random>

namespace kestro::ids {
namespace {

struct ProcessParts {
  std::uint16_t clock_seq;
  std::uint64_t node;
  ProcessParts() {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<std::uint64_t>(rd()) << 32) ^ rd());
    clock_seq = static_cast<std::uint16_t>(gen() & 0x3fff);
    node = (gen() & 0xffffffffffffULL) | 0x010000000000ULL;
  }
};

const ProcessParts& parts() {
  static const ProcessParts p;
  return p;
}

std::atomic<std::uint64_t> last_stamp{0};

// 100-ns intervals since 1582-10-15, strictly increasing in the process.
std::uint64_t next_stamp() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  std::uint64_t now = static_cast<std::uint64_t>(ns / 100) + 0x01b21dd213814000ULL;
  std::uint64_t prev = last_stamp.load(std::memory_order_relaxed);
  std::uint64_t next;
  do {
    next = now > prev ? now : prev + 1;
  } while (!last_stamp.compare_exchange_weak(prev, next, std::memory_order_relaxed));
  return next;
}

void put_hex(char* out, std::uint64_t v, int digits) {
  static const char* hex = "0123456789abcdef";
  for (int k = digits - 1; k >= 0; --k) {
    out[k] = hex[v & 0xf];
    v >>= 4;
  }
}

}  // namespace

std::string uuid1_hex() {
  std::uint64_t t = next_stamp();
  const auto& p = parts();
  std::uint64_t time_low = t & 0xffffffffULL;
  std::uint64_t time_mid = (t >> 32) & 0xffffULL;
  std::uint64_t time_hi = ((t >> 48) & 0x0fffULL) | 0x1000ULL;
  std::uint64_t seq = (p.clock_seq & 0x3fffULL) | 0x8000ULL;
  std::string out(32, '0');
  put_hex(&out[0], time_low, 8);
  put_hex(&out[8], time_mid, 4);
  put_hex(&out[12], time_hi, 4);
  put_hex(&out[16], seq, 4);
  put_hex(&out[20], p.node, 12);
  return out;
}

std::string local_stamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &tm);
  return buf;
}

}  // namespace kestro::ids
