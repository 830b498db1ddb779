#include "cutout/platform/onnx/onnx_model.h"

#include <gtest/gtest.h>

#include "cutout/testing/cutout_testing.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

TEST(ModelDirectory, IsTheSharedFolderOfAnInstalledPrefixAndBesideTheProgramOtherwise) {
  const testing::TemporaryFolder prefix;
  fs::create_directories(prefix.path / "bin" / "models");
  EXPECT_EQ(modelDirectory(prefix.path / "bin"), prefix.path / "bin" / "models");

  fs::create_directories(prefix.path / "share" / "rezoro" / "models");
  EXPECT_EQ(modelDirectory(prefix.path / "bin"), prefix.path / "share" / "rezoro" / "models");
}

}  // namespace
}  // namespace rezoro::cutout
