#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.hpp"
#include "kestro/error.hpp"
#include "kestro/fs.hpp"

namespace fs = kestro::fs;

using kestro::testing::FaultyEnv;
using kestro::testing::error_of;
using kestro::testing::slurp;
using kestro::testing::TempDir;

namespace {
void touch(const std::string& p, const std::string& body = "x") { fs::write_file(p, body); }

std::vector<std::string> paths(const std::vector<fs::Entry>& es) {
  return kestro::testing::sorted_by(es, [](const fs::Entry& e) { return e.path; });
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
  {
    kestro::Error e = error_of([&] { fs::file_size(t.path + "/nope"); });
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

TEST(Fs, ReadFileWholeOrError) {
  TempDir t;
  std::string body(200000, 'r');  // more than one read
  body[123456] = '\0';
  touch(t.path + "/big", body);
  EXPECT_EQ(fs::read_file(t.path + "/big"), body);
  touch(t.path + "/empty", "");
  EXPECT_EQ(fs::read_file(t.path + "/empty"), "");
  {
    kestro::Error e = error_of([&] { fs::read_file(t.path + "/nope"); });
    EXPECT_EQ(e.sys_errno(), ENOENT);
    EXPECT_EQ(e.path(), t.path + "/nope");
  }
  EXPECT_THROW(fs::read_file(t.path), kestro::Error);  // a folder: EISDIR on read
}

// Where a failed mkdir, rename or close changes what is left behind.
TEST(FsFaults, MakeDirsReportsTheFolderItCouldNotCreate) {
  TempDir t;
  {
    FaultyEnv denied(FaultyEnv::Op::kMkdir, EACCES, "/b");
    fs::ScopedEnv use(denied);
    {
      kestro::Error e = error_of([&] { fs::make_dirs(t.path + "/a/b/c"); });
      EXPECT_EQ(e.sys_errno(), EACCES);
      EXPECT_EQ(e.path(), t.path + "/a/b");
    }
  }
  EXPECT_TRUE(fs::is_dir(t.path + "/a"));
  EXPECT_FALSE(fs::exists(t.path + "/a/b"));
  {
    // "already exists" is only fine when a folder is really there
    FaultyEnv phantom(FaultyEnv::Op::kMkdir, EEXIST, "/b");
    fs::ScopedEnv use(phantom);
    EXPECT_THROW(fs::make_dirs(t.path + "/a/b/c"), kestro::Error);
  }
  fs::make_dirs(t.path + "/a/b/c");
  EXPECT_TRUE(fs::is_dir(t.path + "/a/b/c"));
}

TEST(FsFaults, PartFileReachesItsTargetOnlyWhenComplete) {
  TempDir t;
  const std::string target = t.path + "/f.csv";
  std::string part_path;
  {
    fs::PartFile part(target);
    part_path = part.path();
    EXPECT_EQ(part_path.rfind(target + ".", 0), 0u);
    touch(part.path(), "new");
    part.commit();
  }
  EXPECT_EQ(slurp(target), "new");
  EXPECT_FALSE(fs::exists(part_path));

  // the transfer failed before the commit: the part goes, the target stays as it was
  {
    fs::PartFile part(target);
    part_path = part.path();
    touch(part.path(), "half");
  }
  EXPECT_FALSE(fs::exists(part_path));
  EXPECT_EQ(slurp(target), "new");

  // the rename failed: an error, the part goes, the target stays as it was
  {
    FaultyEnv no_rename(FaultyEnv::Op::kRename, EXDEV);
    fs::ScopedEnv use(no_rename);
    fs::PartFile part(target);
    part_path = part.path();
    touch(part.path(), "complete");
    EXPECT_EQ(error_of([&] { part.commit(); }).sys_errno(), EXDEV);
  }
  EXPECT_FALSE(fs::exists(part_path));
  EXPECT_EQ(slurp(target), "new");
}

TEST(FsFaults, PublishedFileIsWholeOrUntouched) {
  TempDir t;
  const std::string marker = t.path + "/_SUCCESS";
  fs::publish_file(marker, fs::empty_gzip());
  EXPECT_EQ(slurp(marker), std::string(fs::empty_gzip()));
  fs::write_file(marker, "old");
  for (auto op : {FaultyEnv::Op::kRename, FaultyEnv::Op::kClose}) {
    FaultyEnv faulty(op, EIO);
    fs::ScopedEnv use(faulty);
    EXPECT_EQ(error_of([&] { fs::publish_file(marker, "new"); }).sys_errno(), EIO);
    EXPECT_EQ(faulty.failures, 1);
  }
  EXPECT_EQ(slurp(marker), "old");
  // nothing left under a temporary name
  EXPECT_EQ(paths(fs::list_entries(t.path, false)), std::vector<std::string>{marker});
}

TEST(FsFaults, FailedCloseIsAWriteFailure) {
  TempDir t;
  FaultyEnv faulty(FaultyEnv::Op::kClose, EDQUOT);
  fs::ScopedEnv use(faulty);
  {
    kestro::Error e = error_of([&] { fs::write_file(t.path + "/f", "data"); });
    EXPECT_EQ(e.sys_errno(), EDQUOT);
    EXPECT_EQ(e.path(), t.path + "/f");
  }
}
