#include "cutout/service/input_snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "cutout/contract/cutout_failure.h"
#include "cutout/testing/cutout_testing.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

CutoutFailure refusal(const fs::path& path) {
  try {
    InputSnapshot::take(path);
  } catch (const CutoutFailure failure) {
    return failure;
  }
  ADD_FAILURE() << "taken: " << path;
  return CutoutFailure::nativeFailure;
}

TEST(InputSnapshot, KeepsTheBytesAsReadAndCannotBeChanged) {
  const testing::TemporaryFolder folder;
  const fs::path file = folder.path / "photo.jpg";
  std::ofstream(file, std::ios::binary) << std::string(3 << 20, 'a') << "end";
  const InputSnapshot snapshot = InputSnapshot::take(file);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "changed";
  EXPECT_EQ(snapshot.size(), (3 << 20) + 3);
  EXPECT_EQ(contents(snapshot.path()), std::string(3 << 20, 'a') + "end");
  const UniqueFd writer(::open(snapshot.path().c_str(), O_WRONLY | O_CLOEXEC));
  if (writer) {
    EXPECT_EQ(::write(writer.get(), "x", 1), -1);
  }
  EXPECT_EQ(contents(snapshot.path()).substr(0, 1), "a");
}

TEST(InputSnapshot, RefusesWhatIsNotARegularFileWithoutBlocking) {
  const testing::TemporaryFolder folder;
  ASSERT_EQ(::mkfifo((folder.path / "fifo.jpg").c_str(), 0600), 0);
  fs::create_directory(folder.path / "folder.jpg");
  fs::create_symlink(folder.path / "fifo.jpg", folder.path / "link.jpg");
  for (const char* name : {"fifo.jpg", "folder.jpg", "link.jpg", "missing.jpg"}) {
    EXPECT_EQ(refusal(folder.path / name), CutoutFailure::invalidInput) << name;
  }
  EXPECT_EQ(refusal("/dev/zero"), CutoutFailure::invalidInput);
}

TEST(InputSnapshot, RefusesAFileAboveTheLimitWithoutReadingIt) {
  const testing::TemporaryFolder folder;
  const fs::path file = folder.path / "huge.tif";
  std::ofstream(file).close();
  fs::resize_file(file, static_cast<uintmax_t>(maximumInputBytes) + 1);  // sparse: costs no disk
  EXPECT_EQ(refusal(file), CutoutFailure::imageTooLarge);
}

}  // namespace
}  // namespace rezoro::cutout
