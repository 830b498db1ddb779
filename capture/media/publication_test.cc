#include "capture/media/publication.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using testing::TempDir;
using testing::writeTextFile;

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int linkRefusedWith(int error) {
  errno = error;
  return -1;
}
int noHardLinks(const char*, const char*) { return linkRefusedWith(EPERM); }
int notSupported(const char*, const char*) { return linkRefusedWith(EOPNOTSUPP); }
int noPermission(const char*, const char*) { return linkRefusedWith(EACCES); }

TEST(Publication, HardLinkPublishesAndNeverReplaces) {
  TempDir dir;
  writeTextFile(dir / "temporary", "ours");
  writeTextFile(dir / "taken", "theirs");
  EXPECT_FALSE(publishWithoutReplacing(dir / "temporary", dir / "taken"));
  EXPECT_EQ(contents(dir / "taken"), "theirs");
  EXPECT_TRUE(publishWithoutReplacing(dir / "temporary", dir / "free"));
  EXPECT_EQ(contents(dir / "free"), "ours");
  EXPECT_FALSE(std::filesystem::exists(dir / "temporary"));
}

TEST(Publication, WithoutHardLinksARenameThatNeverReplacesPublishes) {
  for (LinkFunction link : {noHardLinks, notSupported}) {
    TempDir dir;
    writeTextFile(dir / "temporary", "ours");
    writeTextFile(dir / "taken", "theirs");
    EXPECT_FALSE(publishWithoutReplacing(dir / "temporary", dir / "taken", link));
    EXPECT_EQ(contents(dir / "taken"), "theirs");
    EXPECT_TRUE(std::filesystem::exists(dir / "temporary"));
    EXPECT_TRUE(publishWithoutReplacing(dir / "temporary", dir / "free", link));
    EXPECT_EQ(contents(dir / "free"), "ours");
    EXPECT_FALSE(std::filesystem::exists(dir / "temporary"));
  }
  // Any other refusal is a failure, not a reason to try another way.
  TempDir dir;
  writeTextFile(dir / "temporary", "ours");
  EXPECT_FALSE(publishWithoutReplacing(dir / "temporary", dir / "free", noPermission));
  EXPECT_FALSE(std::filesystem::exists(dir / "free"));
}

}  // namespace
}  // namespace rezoro::capture

namespace rezoro::capture {
namespace {

TEST(PublicationClaim, WhicheverComesFirstWins) {
  PublicationClaim published;
  ASSERT_TRUE(published.claim());
  ASSERT_TRUE(published.confirm(Json{{"ok", true}}));
  EXPECT_EQ(published.giveUp(), (Json{{"ok", true}}));  // too late to give up: it is out there

  PublicationClaim givenUp;
  EXPECT_EQ(givenUp.giveUp(), std::nullopt);
  EXPECT_FALSE(givenUp.claim());

  PublicationClaim failed;  // a link that failed leaves it open
  ASSERT_TRUE(failed.claim());
  failed.unclaim();
  EXPECT_TRUE(failed.claim());

  PublicationClaim meanwhile;  // given up while the link was being made
  ASSERT_TRUE(meanwhile.claim());
  EXPECT_EQ(meanwhile.giveUp(), std::nullopt);
  EXPECT_FALSE(meanwhile.confirm(Json{{"ok", true}}));
}

}  // namespace
}  // namespace rezoro::capture
