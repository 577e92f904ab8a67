// Folder transfers before any request: keys, local paths, size texts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "temp_dir.hpp"
#include "kestro/error.hpp"
#include "kestro/folder_plan.hpp"
#include "kestro/fs.hpp"

namespace fp = kestro::folder_plan;
namespace fs = kestro::fs;

using fp::KeyRule;
using kestro::testing::sorted_by;
using kestro::testing::TempDir;

namespace {
const auto key_of = [](const fp::FileTask& t) { return t.key; };
const auto key_and_path = [](const fp::FileTask& t) { return std::make_pair(t.key, t.local_path); };

fp::FileTask sized(const char* name, std::uint64_t bytes) { return {"k", "p/" + std::string(name), name, bytes}; }
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
  for (KeyRule rule : {KeyRule::kPrefixPlusName, KeyRule::kPathJoin}) {
    for (const char* folder : {"data", "data/", "./data", "data//", "./data/."}) {
      auto files = fp::plan_upload(folder, "out/", true, rule);
      EXPECT_EQ(sorted_by(files, key_of), want) << folder;
      for (const auto& f : files) EXPECT_EQ(f.local_path.rfind("data/", 0), 0u) << f.local_path;
    }
    EXPECT_EQ(sorted_by(fp::plan_upload(t.path + "/data", "out", true, rule), key_of), want);
    EXPECT_TRUE(fp::plan_upload("missing", "out/", true, rule).empty());
  }
  // one level: the folder's files only; the key rule is where the stores differ
  auto top = fp::plan_upload("data", "out", false, KeyRule::kPrefixPlusName);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].key, "outa.csv");
  EXPECT_EQ(top[0].name, "a.csv");
  EXPECT_EQ(top[0].bytes, 5u);
  auto joined = fp::plan_upload("data", "out", false, KeyRule::kPathJoin);
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0].key, "out/a.csv");
  ASSERT_EQ(::chdir(saved), 0);
}

TEST(PlanUpload, AbsoluteFolderWrittenSeveralWays) {
  TempDir t;
  fs::make_dirs(t.path + "/data/sub/data");
  fs::write_file(t.path + "/data/a.csv", std::string(1536, 'x'));
  fs::write_file(t.path + "/data/sub/data/b.csv", std::string(100, 'y'));
  for (std::string folder : {t.path + "/data", t.path + "/data/", t.path + "/./data", t.path + "//data"}) {
    auto tasks = fp::plan_upload(folder, "out", true, KeyRule::kPathJoin);
    std::vector<std::pair<std::string, std::string>> want = {
        {"out/a.csv", t.path + "/data/a.csv"}, {"out/sub/data/b.csv", t.path + "/data/sub/data/b.csv"}};
    EXPECT_EQ(sorted_by(tasks, key_and_path), want) << folder;
    EXPECT_EQ(fp::upload_summary(tasks), "upload file info *  file total count 2  file total size 0.0016M");
  }
  auto flat = fp::plan_upload(t.path + "/data", "out/", false, KeyRule::kPathJoin);
  ASSERT_EQ(flat.size(), 1u);
  EXPECT_EQ(flat[0].key, "out/a.csv");
  EXPECT_EQ(fp::upload_file_lines(flat), "0.0015M a.csv");
}

TEST(PlanUpload, DanglingLinkIsAnIoError) {
  TempDir t;
  ASSERT_EQ(::symlink((t.path + "/nowhere").c_str(), (t.path + "/link").c_str()), 0);
  EXPECT_THROW(fp::plan_upload(t.path, "o/", false, KeyRule::kPrefixPlusName), kestro::Error);
}

TEST(UploadSummary, SizesInMiBToFourPlaces) {
  std::vector<fp::FileTask> none;
  EXPECT_EQ(fp::upload_summary(none), "upload file info *  file total count 0  file total size 0M");
  EXPECT_EQ(fp::upload_file_lines(none), "");
  std::vector<fp::FileTask> files = {sized("a", 1048576), sized("b", 0), sized("c", 52)};
  EXPECT_EQ(fp::upload_summary(files), "upload file info *  file total count 3  file total size 1.0M");
  EXPECT_EQ(fp::upload_file_lines(files), "1.0M a\n0.0M b\n0.0M c");
  EXPECT_EQ(fp::upload_summary({sized("z", 0)}), "upload file info *  file total count 1  file total size 0.0M");
  EXPECT_EQ(fp::upload_file_lines({sized("o", 123456789)}), "117.7376M o");
}

struct DownloadCase {
  const char* key;
  const char* remote_folder;
  bool recursive;
  KeyRule rule;
  const char* path;  // nullptr: refused
};

// So that a failing case reads as its key, not as raw bytes.
void PrintTo(const DownloadCase& c, std::ostream* os) {
  *os << (c.rule == KeyRule::kPrefixPlusName ? "prefix+name " : "path-join ") << '"' << c.key << "\" under \""
      << c.remote_folder << '"' << (c.recursive ? " (tree)" : " (one level)");
}

class DownloadPath : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(DownloadPath, StaysInsideTheLocalFolder) {
  const auto& c = GetParam();
  auto got = fp::download_path(c.key, c.remote_folder, "/l", c.recursive, c.rule);
  if (c.path)
    EXPECT_EQ(got, std::optional<std::string>(c.path));
  else
    EXPECT_EQ(got, std::nullopt);
}

constexpr KeyRule kOss = KeyRule::kPrefixPlusName;
constexpr KeyRule kS3 = KeyRule::kPathJoin;

INSTANTIATE_TEST_SUITE_P(
    Keys, DownloadPath,
    ::testing::Values(DownloadCase{"in/a.csv", "in/", false, kOss, "/l/a.csv"},
                      DownloadCase{"in/a.csv", "in", true, kOss, "/l/a.csv"},
                      DownloadCase{"in/s/in/in.csv", "in/", true, kOss, "/l/s/in/in.csv"},
                      DownloadCase{"in/s//b.csv", "in/", true, kOss, "/l/s/b.csv"},
                      DownloadCase{"in/./s/b.csv", "in", true, kOss, "/l/s/b.csv"},
                      DownloadCase{"in/s/../../../etc/x", "in/", true, kOss, nullptr},
                      DownloadCase{"in/..", "in/", false, kOss, nullptr},
                      DownloadCase{"in/.", "in/", true, kOss, nullptr},
                      DownloadCase{"other/a", "in/", true, kOss, nullptr},
                      // the path-join rule keeps what a text-only prefix leaves
                      DownloadCase{"other/a", "in/", true, kS3, "/l/other/a"},
                      DownloadCase{"inx/a", "in", true, kS3, "/l/x/a"},
                      DownloadCase{"in/a.csv", "in/a.csv", true, kS3, "/l/a.csv"},
                      DownloadCase{"in/..", "in/", false, kS3, nullptr},
                      DownloadCase{"in/./.", "in", false, kS3, nullptr}));

TEST(PlanDownload, RecursiveKeysDropThePrefixOnce) {
  std::vector<std::string> keys = {"logs/2021/logs/x.txt", "logs/y.txt", "logs/deep/", "logsz/w.txt"};
  auto tasks = fp::plan_download(keys, "/tmp/x", "logs", true, kS3);
  std::vector<std::pair<std::string, std::string>> want = {{"logs/2021/logs/x.txt", "/tmp/x/2021/logs/x.txt"},
                                                           {"logs/y.txt", "/tmp/x/y.txt"},
                                                           {"logsz/w.txt", "/tmp/x/z/w.txt"}};
  EXPECT_EQ(sorted_by(tasks, key_and_path), want);
  EXPECT_EQ(fp::parent_folders(tasks), (std::vector<std::string>{"/tmp/x/2021/logs", "/tmp/x", "/tmp/x/z"}));
  // The same folder written three ways gives the same files.
  for (auto [prefix, key] : std::vector<std::pair<std::string, std::string>>{
           {"logs/", "logs/2021/logs/x.txt"}, {"./logs", "./logs/2021/logs/x.txt"}, {"logs//", "logs//2021/logs/x.txt"}}) {
    auto same = fp::plan_download({key}, "/tmp/x", prefix, true, kS3);
    ASSERT_EQ(same.size(), 1u);
    EXPECT_EQ(same[0].local_path, "/tmp/x/2021/logs/x.txt") << prefix;
  }
}

TEST(PlanDownload, FlatKeysUseTheLastComponent) {
  auto tasks = fp::plan_download({"exp/run1/0.csv", "exp/run1/sub/"}, "out", "exp/run1", false, kS3);
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].local_path, "out/0.csv");
  auto single = fp::plan_download({"exp/run1/0.csv"}, "out", "exp/run1/0.csv", true, kS3);
  EXPECT_EQ(single[0].local_path, "out/0.csv");
}

TEST(PlanDownload, KeysLeavingTheFolderAreRefused) {
  for (auto [key, recursive] : std::vector<std::pair<std::string, bool>>{
           {"data/../../etc/x", true}, {"data/..", false}, {"..", true}, {"data/./.", false}}) {
    EXPECT_THROW(fp::plan_download({key}, "/tmp/x", "data", recursive, kS3), kestro::Error) << key;
  }
  auto inside = fp::plan_download({"data/a/../b", "data/../c"}, "/tmp/x", "data", true, kS3);
  EXPECT_EQ(inside[0].local_path, "/tmp/x/b");
  EXPECT_EQ(inside[1].local_path, "/tmp/x/c");
}

TEST(FolderPrefix, AppendsOneSlash) {
  EXPECT_EQ(fp::folder_prefix("a"), "a/");
  EXPECT_EQ(fp::folder_prefix("a/"), "a/");
  EXPECT_EQ(fp::folder_prefix(""), "");
  EXPECT_TRUE(fp::directly_under("in/a.csv", "in/"));
  EXPECT_FALSE(fp::directly_under("in/s/b.csv", "in/"));
  EXPECT_FALSE(fp::directly_under("in/", "in/"));
  EXPECT_FALSE(fp::directly_under("inx/a", "in/"));
}

TEST(RemoveSent, OnlySentFilesAndTheFoldersTheyLeaveEmpty) {
  TempDir t;
  const std::string d = t.path + "/d";
  fs::make_dirs(d + "/a/deep");
  fs::make_dirs(d + "/b");
  fs::make_dirs(d + "/c");
  for (const char* f : {"/top", "/a/deep/x", "/b/y", "/c/kept"}) fs::write_file(d + f, "x");
  fp::remove_sent(d + "/", {d + "/top", d + "/a/deep/x", d + "/b/y"});
  EXPECT_EQ(sorted_by(fs::list_entries(d, true), [](const fs::Entry& e) { return e.path; }),
            (std::vector<std::string>{d + "/c", d + "/c/kept"}));
  fp::remove_sent(d, {d + "/c/kept"});
  EXPECT_FALSE(fs::exists(d));
}

TEST(RemoveSent, AFileThatCannotBeRemovedKeepsItsFolders) {
  TempDir t;
  const std::string d = t.path + "/d";
  fs::make_dirs(d + "/a/deep");
  fs::make_dirs(d + "/b");
  fs::write_file(d + "/a/deep/busy", "x");
  fs::write_file(d + "/b/y", "x");
  {
    kestro::testing::FaultyEnv busy(kestro::testing::FaultyEnv::Op::kUnlink, EBUSY, "busy");
    fs::ScopedEnv use(busy);
    fp::remove_sent(d, {d + "/a/deep/busy", d + "/b/y"});  // never fails
    EXPECT_EQ(busy.failures, 1);
  }
  EXPECT_TRUE(fs::exists(d + "/a/deep/busy"));
  EXPECT_FALSE(fs::exists(d + "/b"));
}

namespace {
std::string refusal(const std::vector<std::string>& keys, const char* remote, bool recursive, KeyRule rule) {
  try {
    fp::plan_download(keys, "/l", remote, recursive, rule);
  } catch (const kestro::Error& e) {
    EXPECT_EQ(e.code(), kestro::Error::Code::kFormat);
    return e.what();
  }
  return "";
}
}  // namespace

TEST(PlanDownload, KeysSharingALocalPathAreRefusedNamingBoth) {
  struct Case {
    std::vector<std::string> keys;
    const char* remote;
    bool recursive;
    KeyRule rule;
    const char* message;
  };
  const Case cases[] = {
      {{"in/a.txt", "in//a.txt"}, "in/", true, KeyRule::kPrefixPlusName, "keys 'in/a.txt' and 'in//a.txt' name one local path: /l/a.txt"},
      {{"in/a.txt", "in/./a.txt"}, "in/", true, KeyRule::kPrefixPlusName, "keys 'in/a.txt' and 'in/./a.txt' name one local path: /l/a.txt"},
      {{"p/x/a", "px/a"}, "p", true, kS3, "keys 'p/x/a' and 'px/a' name one local path: /l/x/a"},
      {{"p/a", "px/a"}, "p", false, kS3, "keys 'p/a' and 'px/a' name one local path: /l/a"},
      {{"p//a", "p/a"}, "p", true, kS3, "keys 'p//a' and 'p/a' name one local path: /l/a"},
      // one key's file is the folder of another's, in either order
      {{"in/a", "in/a/b"}, "in/", true, KeyRule::kPrefixPlusName, "keys 'in/a' and 'in/a/b' name one local path: /l/a"},
      {{"in/a/b/c", "in/a/b"}, "in/", true, KeyRule::kPrefixPlusName, "keys 'in/a/b/c' and 'in/a/b' name one local path: /l/a/b"},
      {{"d/a", "d/x/../a"}, "d", true, kS3, "keys 'd/a' and 'd/x/../a' name one local path: /l/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.keys, c.remote, c.recursive, c.rule), c.message) << c.keys[1];
  // distinct files beside shared folders are fine
  EXPECT_EQ(fp::plan_download({"in/a/b", "in/a/c", "in/ab"}, "/l", "in/", true, KeyRule::kPrefixPlusName).size(), 3u);
}

TEST(PlanDownload, KeysThatCannotBeShownAsTheyAreAreEscaped) {
  EXPECT_EQ(refusal({std::string("in/a\0b", 6)}, "in/", true, KeyRule::kPrefixPlusName),
            "key holds a NUL character: in/a\\x00b");
  EXPECT_EQ(refusal({"in/\xff/..", "x"}, "in/", false, KeyRule::kPrefixPlusName),
            "key leaves the local folder: in/\\xff/..");
}

TEST(PlanUpload, OnlyRegularFilesAreRead) {
  TempDir t;
  const std::string d = t.path + "/d";
  fs::make_dirs(d + "/sub");
  fs::write_file(d + "/a", "x");
  ASSERT_EQ(::symlink((d + "/a").c_str(), (d + "/to_a").c_str()), 0);
  EXPECT_EQ(fp::plan_upload(d, "o/", true, KeyRule::kPrefixPlusName).size(), 2u);
  ASSERT_EQ(::mkfifo((d + "/sub/pipe").c_str(), 0600), 0);
  // one level does not look into sub
  EXPECT_EQ(fp::plan_upload(d, "o/", false, KeyRule::kPrefixPlusName).size(), 2u);
  try {
    fp::plan_upload(d, "o/", true, KeyRule::kPathJoin);
    ADD_FAILURE() << "a FIFO was listed";
  } catch (const kestro::Error& e) {
    EXPECT_EQ(std::string(e.what()), "not a regular file: " + d + "/sub/pipe");
  }
  ::unlink((d + "/sub/pipe").c_str());
  ASSERT_EQ(::symlink("loop", (d + "/loop").c_str()), 0);
  try {
    fp::plan_upload(d, "o/", false, KeyRule::kPathJoin);
    ADD_FAILURE() << "a link loop was listed";
  } catch (const kestro::Error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot follow link: " + d + "/loop (Too many levels of symbolic links)");
  }
  ::unlink((d + "/loop").c_str());
  fs::write_file(d + "/sub/\xe9t\xe9", "x");
  try {
    fp::plan_upload(d, "o/", true, KeyRule::kPathJoin);
    ADD_FAILURE() << "a Latin-1 name was listed";
  } catch (const kestro::Error& e) {
    EXPECT_EQ(std::string(e.what()), "file name is not UTF-8: " + d + "/sub/\\xe9t\\xe9");
  }
}

TEST(RemoveSentUnchanged, KeepsFilesChangedSinceTheyWereListed) {
  TempDir t;
  const std::string d = t.path + "/d";
  fs::make_dirs(d + "/s");
  for (const char* f : {"/same", "/grown", "/replaced", "/s/gone"}) fs::write_file(d + f, "x");
  auto tasks = fp::plan_upload(d, "o/", true, KeyRule::kPathJoin);
  ASSERT_EQ(tasks.size(), 4u);
  fs::write_file(d + "/grown", "xy");
  fs::write_file(d + "/new", "z");
  fs::rename(d + "/new", d + "/replaced");  // same size, another file
  fs::remove_file(d + "/s/gone");
  auto kept = fp::remove_sent_unchanged(d, tasks);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{d + "/grown", d + "/replaced"}));
  EXPECT_EQ(sorted_by(fs::list_entries(d, true), [](const fs::Entry& e) { return e.path; }),
            (std::vector<std::string>{d + "/grown", d + "/replaced"}));
}
