// The restart onto huge pages: what it asks of the C library, and when it is worth it.

#include "base/large_pages.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace tabulix {
namespace {

TEST(LargePages, TheTunableJoinsWhatIsSetAndTheUsersWordStands) {
  EXPECT_EQ(TunablesWithLargePages(nullptr), "glibc.malloc.hugetlb=1");
  EXPECT_EQ(TunablesWithLargePages(""), "glibc.malloc.hugetlb=1");
  EXPECT_EQ(TunablesWithLargePages("glibc.malloc.arena_max=2"),
            "glibc.malloc.arena_max=2:glibc.malloc.hugetlb=1");
  // Whatever the user chose for it, off included, is left alone: no restart.
  EXPECT_EQ(TunablesWithLargePages("glibc.malloc.hugetlb=0"), std::nullopt);
  EXPECT_EQ(TunablesWithLargePages("x=1:glibc.malloc.hugetlb=2"), std::nullopt);
}

TEST(LargePages, OnlyFoldersAndLargeFilesAreWorthARestart) {
  test::TempDir dir;
  const std::string small = (dir.path() / "small.xls").string();
  const std::string large = (dir.path() / "large.xls").string();
  std::ofstream(small) << std::string(1000, 'x');
  std::ofstream(large) << std::string(3000, 'x');
  EXPECT_FALSE(LargeInputs({}, 4000));
  EXPECT_FALSE(LargeInputs({small, "missing.xls", "-o"}, 4000));
  EXPECT_TRUE(LargeInputs({small, large}, 4000)) << "the sizes add up";
  EXPECT_FALSE(LargeInputs({large}, 4000));
  EXPECT_TRUE(LargeInputs({dir.path().string()}, 1u << 30)) << "a folder is a batch";
  EXPECT_FALSE(LargeInputs({"/dev/null"}, 1));
}

}  // namespace
}  // namespace tabulix
