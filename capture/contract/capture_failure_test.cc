#include "capture/contract/capture_failure.h"

#include <gtest/gtest.h>

#include "common/json_line.h"

namespace rezoro::capture {
namespace {

TEST(CaptureFailure, CodesFollowTheDeclarationOrder) {
  const char* codes[] = {"invalid_input", "unsupported_platform", "permission_denied", "no_display",
                         "no_frames",     "no_audio",             "start_failed",      "recording_failed",
                         "export_failed", "timeout"};
  for (int index = 0; index < 10; ++index) {
    const auto failure = static_cast<CaptureFailure>(index);
    EXPECT_EQ(rawValue(failure), codes[index]);
    EXPECT_EQ(captureFailureFromRawValue(codes[index]), failure);
  }
  EXPECT_EQ(captureFailureFromRawValue("Invalid_input"), std::nullopt);
  EXPECT_EQ(captureFailureFromRawValue(""), std::nullopt);
}

TEST(CaptureFailure, ResponseHasExactlyThreeEntries) {
  EXPECT_EQ(serializedJson(response(CaptureFailure::permissionDenied)).value(),
            R"({"error":"Allow screen and system audio recording in System Settings, then reopen the app.","error_code":"permission_denied","ok":false})");
  EXPECT_EQ(serializedJson(response(CaptureFailure::timeout)).value(),
            R"({"error":"The recorder did not finish in time.","error_code":"timeout","ok":false})");
  EXPECT_EQ(sentence(CaptureFailure::exportFailed), "The recording could not be saved.");
  EXPECT_EQ(sentence(CaptureFailure::startFailed),
            "Screen and system audio recording could not start.");
}

}  // namespace
}  // namespace rezoro::capture
