#include "cutout/contract/cutout_failure.h"

#include <gtest/gtest.h>

namespace rezoro::cutout {
namespace {

TEST(CutoutFailure, RoundTripsExactlyItsSixRawValues) {
  const std::pair<CutoutFailure, const char*> cases[] = {
      {CutoutFailure::noForeground, "no_foreground"},   {CutoutFailure::unsupportedHardware, "unsupported_hardware"},
      {CutoutFailure::invalidInput, "invalid_input"},   {CutoutFailure::imageTooLarge, "image_too_large"},
      {CutoutFailure::exportFailed, "export_failed"},   {CutoutFailure::nativeFailure, "native_failure"},
  };
  for (const auto& [failure, raw] : cases) {
    EXPECT_EQ(rawValue(failure), raw);
    EXPECT_EQ(cutoutFailureFromRawValue(raw), failure);
  }
  EXPECT_FALSE(cutoutFailureFromRawValue("Invalid_Input"));
  EXPECT_FALSE(cutoutFailureFromRawValue("NO_FOREGROUND"));
  EXPECT_FALSE(cutoutFailureFromRawValue(""));
  EXPECT_FALSE(cutoutFailureFromRawValue("invalid_input "));
}

TEST(CutoutFailure, ResponseHoldsExactlyTheThreeKeys) {
  const Json answer = response(CutoutFailure::unsupportedHardware);
  EXPECT_EQ(serializedJson(answer),
            R"({"error":"Native Cut Out requires a supported Mac and macOS 14 or later.",)"
            R"("error_code":"unsupported_hardware","ok":false})");
  EXPECT_EQ(serializedJson(response(CutoutFailure::exportFailed)),
            R"({"error":"The Cut Out mask could not be saved.","error_code":"export_failed","ok":false})");
}

}  // namespace
}  // namespace rezoro::cutout
