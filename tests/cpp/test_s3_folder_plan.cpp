#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "temp_dir.hpp"
#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/s3_folder_plan.hpp"

namespace s3 = kestro::s3;
namespace fs = kestro::fs;

using kestro::testing::TempDir;

namespace {
std::vector<std::pair<std::string, std::string>> pairs(const std::vector<s3::FileTask>& tasks) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& t : tasks) out.emplace_back(t.remote_file, t.local_file);
  std::sort(out.begin(), out.end());
  return out;
}
}  // namespace

TEST(S3UploadPlan, KeysAreRelativeToTheFolderHoweverItIsWritten) {
  TempDir t;
  fs::make_dirs(t.path + "/data/sub/data");
  fs::write_file(t.path + "/data/a.csv", std::string(1536, 'x'));
  fs::write_file(t.path + "/data/sub/data/b.csv", std::string(100, 'y'));
  for (std::string folder : {t.path + "/data", t.path + "/data/", t.path + "/./data", t.path + "//data"}) {
    auto plan = s3::plan_upload(folder, "out", true);
    std::vector<std::pair<std::string, std::string>> want = {
        {"out/a.csv", t.path + "/data/a.csv"}, {"out/sub/data/b.csv", t.path + "/data/sub/data/b.csv"}};
    EXPECT_EQ(pairs(plan.tasks), want) << folder;
    EXPECT_EQ(plan.summary, "upload file info *  file total count 2  file total size 0.0016M");
  }
  auto flat = s3::plan_upload(t.path + "/data", "out/", false);
  ASSERT_EQ(flat.tasks.size(), 1u);
  EXPECT_EQ(flat.tasks[0].remote_file, "out/a.csv");
  EXPECT_EQ(flat.lines, "0.0015M a.csv");
}

TEST(S3UploadPlan, EmptyAndMissingFolders) {
  TempDir t;
  for (std::string folder : {t.path, t.path + "/missing"}) {
    auto plan = s3::plan_upload(folder, "out", true);
    EXPECT_TRUE(plan.tasks.empty());
    EXPECT_EQ(plan.summary, "upload file info *  file total count 0  file total size 0M");
    EXPECT_EQ(plan.lines, "");
  }
}

TEST(S3DownloadPlan, RecursiveKeysDropThePrefixOnce) {
  std::vector<std::string> keys = {"logs/2021/logs/x.txt", "logs/y.txt", "logs/deep/", "logsz/w.txt"};
  auto tasks = s3::plan_download(keys, "/tmp/x", "logs", true);
  std::vector<std::pair<std::string, std::string>> want = {{"logs/2021/logs/x.txt", "/tmp/x/2021/logs/x.txt"},
                                                           {"logs/y.txt", "/tmp/x/y.txt"},
                                                           {"logsz/w.txt", "/tmp/x/z/w.txt"}};
  EXPECT_EQ(pairs(tasks), want);
  EXPECT_EQ(s3::parent_folders(tasks), (std::vector<std::string>{"/tmp/x/2021/logs", "/tmp/x", "/tmp/x/z"}));
  // The same folder written three ways gives the same files.
  for (auto [prefix, key] : std::vector<std::pair<std::string, std::string>>{
           {"logs/", "logs/2021/logs/x.txt"}, {"./logs", "./logs/2021/logs/x.txt"}, {"logs//", "logs//2021/logs/x.txt"}}) {
    auto same = s3::plan_download({key}, "/tmp/x", prefix, true);
    ASSERT_EQ(same.size(), 1u);
    EXPECT_EQ(same[0].local_file, "/tmp/x/2021/logs/x.txt") << prefix;
  }
}

TEST(S3DownloadPlan, FlatKeysUseTheLastComponent) {
  auto tasks = s3::plan_download({"exp/run1/0.csv", "exp/run1/sub/"}, "out", "exp/run1", false);
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].local_file, "out/0.csv");
  auto single = s3::plan_download({"exp/run1/0.csv"}, "out", "exp/run1/0.csv", true);
  EXPECT_EQ(single[0].local_file, "out/0.csv");
}

TEST(S3DownloadPlan, KeysLeavingTheFolderAreRefused) {
  for (auto [key, recursive] : std::vector<std::pair<std::string, bool>>{
           {"data/../../etc/x", true}, {"data/..", false}, {"..", true}, {"data/./.", false}}) {
    EXPECT_THROW(s3::plan_download({key}, "/tmp/x", "data", recursive), kestro::Error) << key;
  }
  auto inside = s3::plan_download({"data/a/../b", "data/../c"}, "/tmp/x", "data", true);
  EXPECT_EQ(inside[0].local_file, "/tmp/x/b");
  EXPECT_EQ(inside[1].local_file, "/tmp/x/c");
}
