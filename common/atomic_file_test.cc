#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "common/uuid.h"

namespace rezoro {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("rezoro-atomic-" + newUuidString());
    fs::create_directory(dir_);
  }
  void TearDown() override {
    ::chmod(dir_.c_str(), 0755);
    fs::remove_all(dir_);
  }
  static std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
};

TEST_F(AtomicFileTest, WritesAndReplacesWithoutLeftovers) {
  const fs::path target = dir_ / "response-1.json";
  ASSERT_FALSE(writeFileAtomically(target, "first"));
  ASSERT_FALSE(writeFileAtomically(target, "second, longer"));
  EXPECT_EQ(contents(target), "second, longer");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, FailsWithoutTouchingTargetOrLeavingTemporary) {
  const fs::path blocked = dir_ / "response-2.json";
  fs::create_directory(blocked);
  EXPECT_TRUE(writeFileAtomically(blocked, "x"));
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_EQ(entries(), 1u);
  EXPECT_TRUE(writeFileAtomically(dir_ / "missing" / "f.json", "x"));
}

TEST_F(AtomicFileTest, TargetNameAtTheLengthLimitStillWrites) {
  const fs::path target = dir_ / std::string(255, 'n');
  ASSERT_FALSE(writeFileAtomically(target, "long"));
  EXPECT_EQ(contents(target), "long");
  EXPECT_EQ(entries(), 1u);
}

TEST(Uuid, IsUpperCaseAndFresh) {
  const std::string a = newUuidString(), b = newUuidString();
  ASSERT_EQ(a.size(), 36u);
  EXPECT_NE(a, b);
  for (size_t i = 0; i < a.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(a[i], '-');
    } else {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(a[i])) || (a[i] >= 'A' && a[i] <= 'F')) << a;
    }
  }
}

}  // namespace
}  // namespace rezoro
