#include "capture/platform/portal/restore_token.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

TEST(RestoreTokenTest, LivesInTheStateFolderOrBelowHome) {
  testing::ScopedEnvironmentVariable state("XDG_STATE_HOME", "/state");
  testing::ScopedEnvironmentVariable home("HOME", "/home/someone");
  EXPECT_EQ(restoreTokenPath(), std::filesystem::path("/state/rezoro/screencast-restore-token"));
  testing::ScopedEnvironmentVariable relative("XDG_STATE_HOME", "state");
  EXPECT_EQ(restoreTokenPath(), std::filesystem::path("/home/someone/.local/state/rezoro/screencast-restore-token"));
}

TEST(RestoreTokenTest, IsStoredForTheUserOnlyAndReadBack) {
  testing::TempDir folder;
  const auto path = folder / "state" / "rezoro" / "token";
  EXPECT_EQ(loadRestoreToken(path), std::nullopt);
  ASSERT_TRUE(storeRestoreToken(path, "0b5e-41f2"));
  EXPECT_EQ(loadRestoreToken(path), "0b5e-41f2");
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(path.parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  ASSERT_TRUE(storeRestoreToken(path, "second"));
  EXPECT_EQ(loadRestoreToken(path), "second");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path.parent_path()), {}), 1);  // no temporary left
}

TEST(RestoreTokenTest, AForgottenTokenIsGoneAndForgettingNoneIsFine) {
  testing::TempDir folder;
  const auto path = folder / "rezoro" / "token";
  ASSERT_TRUE(storeRestoreToken(path, "5f0c8a1e-token"));
  EXPECT_TRUE(forgetRestoreToken(path));
  EXPECT_FALSE(loadRestoreToken(path));
  EXPECT_TRUE(forgetRestoreToken(path));
  EXPECT_TRUE(std::filesystem::exists(path.parent_path()));  // the folder stays
}

TEST(RestoreTokenTest, NonsenseIsNeitherStoredNorBelieved) {
  testing::TempDir folder;
  const auto path = folder / "token";
  EXPECT_FALSE(storeRestoreToken(path, ""));
  EXPECT_FALSE(storeRestoreToken(path, "two words"));
  testing::writeTextFile(path, std::string(600, 'a'));
  EXPECT_EQ(loadRestoreToken(path), std::nullopt);
  testing::writeTextFile(path, "bad\001token");
  EXPECT_EQ(loadRestoreToken(path), std::nullopt);
  std::filesystem::remove(path);
  std::filesystem::create_symlink(folder / "elsewhere", path);
  testing::writeTextFile(folder / "elsewhere", "token");
  EXPECT_EQ(loadRestoreToken(path), std::nullopt);  // not followed
}

}  // namespace
}  // namespace rezoro::capture
