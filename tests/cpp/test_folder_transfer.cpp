#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "temp_dir.hpp"
#include "kestro/error.hpp"
#include "kestro/folder_transfer.hpp"
#include "kestro/fs.hpp"

namespace ft = kestro::folder_transfer;
namespace fs = kestro::fs;

using kestro::testing::TempDir;

namespace {
std::vector<std::string> keys_of(const std::vector<ft::UploadFile>& files) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(f.key);
  std::sort(out.begin(), out.end());
  return out;
}
}  // namespace

TEST(PlanUpload, KeysDoNotDependOnHowTheFolderIsWritten) {
  TempDir t;
  // the folder's name repeats deeper down: only its own prefix may go
  fs::make_dirs(t.path + "/data/x/data");
  fs::write_file(t.path + "/data/a.csv", "12345");
  fs::write_file(t.path + "/data/x/data/data.csv", "");
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(t.path.c_str()), 0);
  const std::vector<std::string> want = {"out/a.csv", "out/x/data/data.csv"};
  for (const char* folder : {"data", "data/", "./data", "data//", "./data/."}) {
    auto files = ft::plan_upload(folder, "out/", true);
    EXPECT_EQ(keys_of(files), want) << folder;
    for (const auto& f : files) EXPECT_EQ(f.local_path.rfind("data/", 0), 0u) << f.local_path;
  }
  EXPECT_EQ(keys_of(ft::plan_upload(t.path + "/data", "out", true)),
            (std::vector<std::string>{"out/a.csv", "out/x/data/data.csv"}));
  // one level: the folder's files only, key = prefix + name as given
  auto top = ft::plan_upload("data", "out", false);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].key, "outa.csv");
  EXPECT_EQ(top[0].bytes, 5u);
  EXPECT_TRUE(ft::plan_upload("missing", "out/", true).empty());
  ASSERT_EQ(::chdir(saved), 0);
}

TEST(PlanUpload, DanglingLinkIsAnIoError) {
  TempDir t;
  ASSERT_EQ(::symlink((t.path + "/nowhere").c_str(), (t.path + "/link").c_str()), 0);
  EXPECT_THROW(ft::plan_upload(t.path, "o/", false), kestro::Error);
}

TEST(UploadSummary, SizesInMiBToFourPlaces) {
  std::vector<ft::UploadFile> none;
  EXPECT_EQ(ft::upload_summary(none), "upload file info *  file total count 0  file total size 0M");
  EXPECT_EQ(ft::upload_file_lines(none), "");
  std::vector<ft::UploadFile> files = {{"p/a", "a", "k", 1048576}, {"p/b", "b", "k", 0}, {"p/c", "c", "k", 52}};
  EXPECT_EQ(ft::upload_summary(files), "upload file info *  file total count 3  file total size 1.0M");
  EXPECT_EQ(ft::upload_file_lines(files), "1.0M a\n0.0M b\n0.0M c");
  std::vector<ft::UploadFile> zero = {{"p/z", "z", "k", 0}};
  EXPECT_EQ(ft::upload_summary(zero), "upload file info *  file total count 1  file total size 0.0M");
  std::vector<ft::UploadFile> odd = {{"p/o", "o", "k", 123456789}};
  EXPECT_EQ(ft::upload_file_lines(odd), "117.7376M o");
}

struct DownloadCase {
  const char* key;
  const char* oss_folder;
  bool recursive;
  bool ok;
  const char* path;
};

class DownloadPath : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(DownloadPath, StaysInsideTheLocalFolder) {
  const auto& c = GetParam();
  std::string out = "untouched";
  EXPECT_EQ(ft::download_path(c.key, c.oss_folder, "/l", c.recursive, out), c.ok) << c.key;
  EXPECT_EQ(out, c.ok ? c.path : "untouched") << c.key;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DownloadPath,
    ::testing::Values(DownloadCase{"in/a.csv", "in/", false, true, "/l/a.csv"},
                      DownloadCase{"in/a.csv", "in", true, true, "/l/a.csv"},
                      DownloadCase{"in/s/in/in.csv", "in/", true, true, "/l/s/in/in.csv"},
                      DownloadCase{"in/s//b.csv", "in/", true, true, "/l/s/b.csv"},
                      DownloadCase{"in/./s/b.csv", "in", true, true, "/l/s/b.csv"},
                      DownloadCase{"in/s/../../../etc/x", "in/", true, false, ""},
                      DownloadCase{"in/..", "in/", false, false, ""},
                      DownloadCase{"in/.", "in/", true, false, ""},
                      DownloadCase{"other/a", "in/", true, false, ""}));

TEST(FolderPrefix, AppendsOneSlash) {
  EXPECT_EQ(ft::folder_prefix("a"), "a/");
  EXPECT_EQ(ft::folder_prefix("a/"), "a/");
  EXPECT_EQ(ft::folder_prefix(""), "");
  EXPECT_TRUE(ft::directly_under("in/a.csv", "in/"));
  EXPECT_FALSE(ft::directly_under("in/s/b.csv", "in/"));
  EXPECT_FALSE(ft::directly_under("in/", "in/"));
  EXPECT_FALSE(ft::directly_under("inx/a", "in/"));
}
