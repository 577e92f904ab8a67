#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <set>
#include <thread>
#include <vector>

#include "temp_dir.hpp"
#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/ids.hpp"

namespace fs = kestro::fs;

using kestro::testing::TempDir;

namespace {
void touch(const std::string& p, const std::string& body = "x") { fs::write_file(p, body); }

std::vector<std::string> paths(const std::vector<fs::Entry>& es) {
  std::vector<std::string> out;
  for (auto& e : es) out.push_back(e.path);
  std::sort(out.begin(), out.end());
  return out;
}
}  // namespace

TEST(Fs, ListsOneLevelOrTheTree) {
  TempDir t;
  fs::make_dirs(t.path + "/d/x/z");
  touch(t.path + "/d/a.csv");
  touch(t.path + "/d/.hidden");
  touch(t.path + "/d/x/y.csv");
  touch(t.path + "/d/x/z/w.csv");
  ASSERT_EQ(::symlink((t.path + "/d/x").c_str(), (t.path + "/d/link").c_str()), 0);

  auto one = fs::list_entries(t.path + "/d/", false);
  EXPECT_EQ(paths(one), (std::vector<std::string>{t.path + "/d/.hidden", t.path + "/d/a.csv",
                                                   t.path + "/d/link", t.path + "/d/x"}));
  for (auto& e : one) EXPECT_EQ(e.is_dir, e.name == "x" || e.name == "link") << e.path;

  auto all = fs::list_entries(t.path + "/./d", true);
  // the link to a folder is listed but not walked into
  EXPECT_EQ(paths(all),
            (std::vector<std::string>{t.path + "/d/.hidden", t.path + "/d/a.csv", t.path + "/d/link",
                                      t.path + "/d/x", t.path + "/d/x/y.csv", t.path + "/d/x/z",
                                      t.path + "/d/x/z/w.csv"}));
  // a folder's entries come before those of its sub-folders
  auto pos = [&](const std::string& p) {
    return std::find_if(all.begin(), all.end(), [&](auto& e) { return e.path == p; }) - all.begin();
  };
  EXPECT_LT(pos(t.path + "/d/a.csv"), pos(t.path + "/d/x/y.csv"));
  EXPECT_LT(pos(t.path + "/d/x/y.csv"), pos(t.path + "/d/x/z/w.csv"));

  EXPECT_TRUE(fs::list_entries(t.path + "/missing", true).empty());
  EXPECT_TRUE(fs::list_entries(t.path + "/d/a.csv", false).empty());
}

TEST(Fs, SizesAndErrors) {
  TempDir t;
  touch(t.path + "/f", std::string(1536, 'a'));
  EXPECT_EQ(fs::file_size(t.path + "/f"), 1536u);
  try {
    fs::file_size(t.path + "/nope");
    FAIL() << "no error";
  } catch (const kestro::Error& e) {
    EXPECT_EQ(e.code(), kestro::Error::Code::kIo);
    EXPECT_EQ(e.sys_errno(), ENOENT);
    EXPECT_EQ(e.path(), t.path + "/nope");
  }
  touch(t.path + "/file");
  EXPECT_THROW(fs::make_dirs(t.path + "/file/sub"), kestro::Error);
  EXPECT_THROW(fs::make_dirs(t.path + "/file"), kestro::Error);
}

TEST(Fs, MakeDirsToleratesConcurrentCreators) {
  TempDir t;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int k = 0; k < 16; ++k)
    threads.emplace_back([&] {
      try {
        fs::make_dirs(t.path + "/a/b/c/d");
      } catch (...) {
        ++failures;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(fs::is_dir(t.path + "/a/b/c/d"));
}

// A re-run beside tasks still at work: folders of the chain vanish (another
// call empties the tree) and entries appear (files renamed into it) while
// one thread creates and another removes.
TEST(Fs, MakeDirsAndRemoveTreeTolerateFoldersThatVanishOrAppear) {
  TempDir t;
  const std::string root = t.path + "/a";
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread remover([&] {
    for (int k = 0; k < 300 && !done; ++k) {
      fs::remove_tree(root);
      std::this_thread::yield();
    }
  });
  std::thread writer([&] {  // files appear inside the tree being removed
    for (int k = 0; k < 300 && !done; ++k) {
      std::string dir = root + "/b";
      if (fs::is_dir(dir)) {
        try {
          fs::write_file(dir + "/f" + std::to_string(k), "x");
        } catch (const kestro::Error&) {
          // the folder vanished meanwhile: nothing to test here
        }
      }
    }
  });
  for (int k = 0; k < 300; ++k) {
    try {
      fs::make_dirs(root + "/b/c/d");
    } catch (const kestro::Error& e) {
      ++failures;
      ADD_FAILURE() << e.what();
      break;
    }
  }
  done = true;
  remover.join();
  writer.join();
  EXPECT_EQ(failures.load(), 0);
  // with nobody writing, one removal takes everything
  fs::make_dirs(root + "/b/c/d");
  touch(root + "/b/c/d/f");
  fs::remove_tree(root);
  EXPECT_FALSE(fs::exists(root));
}

TEST(Fs, SilentRemoval) {
  TempDir t;
  fs::make_dirs(t.path + "/tree/sub");
  touch(t.path + "/tree/sub/f");
  fs::remove_file(t.path + "/tree");  // a folder is not a file: left alone
  EXPECT_TRUE(fs::is_dir(t.path + "/tree"));
  fs::remove_tree(t.path + "/tree");
  EXPECT_FALSE(fs::exists(t.path + "/tree"));
  fs::remove_tree(t.path + "/tree");
  fs::remove_file(t.path + "/nothing");
  // a link to a folder is not followed
  fs::make_dirs(t.path + "/real");
  touch(t.path + "/real/keep");
  ASSERT_EQ(::symlink((t.path + "/real").c_str(), (t.path + "/ln").c_str()), 0);
  fs::remove_tree(t.path + "/ln");
  EXPECT_TRUE(fs::exists(t.path + "/real/keep"));
}

TEST(Fs, EmptyGzipHasTheGzipFrame) {
  auto gz = fs::empty_gzip();
  ASSERT_EQ(gz.size(), 20u);
  EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1f);
  EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8b);
  EXPECT_EQ(gz[2], 8);  // deflate
  // CRC-32 and size of the empty payload are zero
  EXPECT_EQ(gz.substr(12), std::string(8, '\0'));
}

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
