#include "platform/root/state_root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/temp_root.h"

namespace sorvex::root {
namespace {

TEST(StateRoot, FollowsTheEnvironmentOnEveryCall) {
    ::setenv("SORVEX_ROOT", "/tmp/one", 1);
    EXPECT_EQ(StateRoot(), "/tmp/one");
    EXPECT_TRUE(IsExplicit());
    std::string first = RootTag();
    ::setenv("SORVEX_ROOT", "/tmp/two/", 1);
    EXPECT_EQ(StateRoot(), "/tmp/two/");
    EXPECT_NE(RootTag(), first);
    EXPECT_EQ(RootTag().size(), 16u);
    ::unsetenv("SORVEX_ROOT");
    EXPECT_EQ(StateRoot(), kDefaultRoot);
    EXPECT_FALSE(IsExplicit());
}

TEST(StateRoot, MapsWindowsPathsBelowTheDriveDirectory) {
    ::setenv("SORVEX_ROOT", "/srv/pos", 1);
    EXPECT_EQ(MapWindowsPath("C:\\Sorvex2.log"), "/srv/pos/drive_c/Sorvex2.log");
    EXPECT_EQ(MapWindowsPath("c:/Program Files\\\\Orvanta\\x.dll"),
              "/srv/pos/drive_c/Program Files/Orvanta/x.dll");
    EXPECT_EQ(MapWindowsPath("D:\\data"), "/srv/pos/drive_d/data");
    EXPECT_EQ(MapWindowsPath("\\Sorvex2.log"), "/srv/pos/drive_c/Sorvex2.log");
}

TEST(StateRoot, EnsureDirectoryGivesNewDirectoriesTheirMode) {
    test::TempRoot root;
    auto dir = root.path() / "a" / "b";
    mode_t old = ::umask(077);
    EnsureDirectory(dir, 0775);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0775u);
    EnsureDirectory(dir, 0700);  // existing: unchanged
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0775u);
}

}  // namespace
}  // namespace sorvex::root
