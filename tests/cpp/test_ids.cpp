#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestro/ids.hpp"

TEST(Ids, Uuid1HexIsVersionOneAndUnique) {
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> got(8);
  for (int k = 0; k < 8; ++k)
    threads.emplace_back([&, k] {
      for (int n = 0; n < 5000; ++n) got[k].push_back(kestro::ids::uuid1_hex());
    });
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (auto& v : got)
    for (auto& id : v) {
      ASSERT_EQ(id.size(), 32u);
      ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
      ASSERT_EQ(id[12], '1') << id;                                           // version 1
      ASSERT_NE(std::string("89ab").find(id[16]), std::string::npos) << id;  // RFC 4122 variant
      all.insert(id);
    }
  EXPECT_EQ(all.size(), 40000u);
}

TEST(Ids, LocalStampShape) {
  auto s = kestro::ids::local_stamp();
  ASSERT_EQ(s.size(), 15u);
  EXPECT_EQ(s[8], '_');
  for (int k : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14}) EXPECT_TRUE(std::isdigit(s[k])) << s;
}
