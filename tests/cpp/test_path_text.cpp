#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kestro/path_text.hpp"

using namespace kestro::text;

TEST(PathText, JoinFollowsPosixRule) {
  EXPECT_EQ(posix_join("a", "b"), "a/b");
  EXPECT_EQ(posix_join("a/", "b"), "a/b");
  EXPECT_EQ(posix_join("", "b"), "b");
  EXPECT_EQ(posix_join("a", ""), "a/");
  EXPECT_EQ(posix_join("a", "/b"), "/b");
}

TEST(PathText, DepthDropsEmptyAndDotComponents) {
  EXPECT_EQ(depth("a/b/c"), 3u);
  EXPECT_EQ(depth("a/b/c/"), 3u);
  EXPECT_EQ(depth("a"), 1u);
  EXPECT_EQ(depth(""), 0u);
  EXPECT_EQ(depth("/"), 0u);
  EXPECT_EQ(depth("."), 0u);
  EXPECT_EQ(depth("./a//b"), 2u);
}

TEST(PathText, PathlibFormOfFolders) {
  EXPECT_EQ(pathlib_norm("./data/"), "data");
  EXPECT_EQ(pathlib_norm("data//x/./y"), "data/x/y");
  EXPECT_EQ(pathlib_norm("."), ".");
  EXPECT_EQ(pathlib_norm(""), ".");
  EXPECT_EQ(pathlib_norm("/"), "/");
  EXPECT_EQ(pathlib_norm("//a/"), "/a");
  EXPECT_EQ(pathlib_norm("../a"), "../a");
}

TEST(PathText, RelativeToRemovesTheFolderOnce) {
  for (const char* folder : {"data", "data/", "./data"})
    EXPECT_EQ(relative_to("data/x/data/y.csv", folder), "x/data/y.csv") << folder;
  EXPECT_EQ(relative_to("other/x", "data"), std::nullopt);
  EXPECT_EQ(relative_to("/data/x", "data"), std::nullopt);
  EXPECT_EQ(relative_to("datax/y", "data"), std::nullopt);
  EXPECT_EQ(relative_to("x/y", "."), "x/y");
  EXPECT_EQ(relative_to("data/.", "data"), "");
}

TEST(PathText, BaseAndDirName) {
  EXPECT_EQ(std::string(basename("a/b/c.csv")), "c.csv");
  EXPECT_EQ(std::string(basename("c.csv")), "c.csv");
  EXPECT_EQ(std::string(basename("a/")), "");
  EXPECT_EQ(dirname("a/b/c.csv"), "a/b");
  EXPECT_EQ(dirname("/c"), "/");
  EXPECT_EQ(dirname("c"), "");
  EXPECT_EQ(dirname("a//c"), "a");
}
