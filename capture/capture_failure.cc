#include "capture/capture_failure.h"

#include <array>

namespace rezoro::capture {
namespace {

struct FailureText {
  CaptureFailure failure;
  std::string_view raw;
  std::string_view sentence;
};

constexpr std::array<FailureText, 10> texts = {{
    {CaptureFailure::invalidInput, "invalid_input", "The recording request is invalid."},
    {CaptureFailure::unsupportedPlatform, "unsupported_platform",
     "Native recording requires macOS 13 or later."},
    {CaptureFailure::permissionDenied, "permission_denied",
     "Allow screen and system audio recording in System Settings, then reopen the app."},
    {CaptureFailure::noDisplay, "no_display", "The selected display is no longer available."},
    {CaptureFailure::noFrames, "no_frames", "No screen frames were received."},
    {CaptureFailure::noAudio, "no_audio", "No system audio was received."},
    {CaptureFailure::startFailed, "start_failed",
     "Screen and system audio recording could not start."},
    {CaptureFailure::recordingFailed, "recording_failed", "The recording stopped unexpectedly."},
    {CaptureFailure::exportFailed, "export_failed", "The recording could not be saved."},
    {CaptureFailure::timeout, "timeout", "The recorder did not finish in time."},
}};

const FailureText& textOf(CaptureFailure failure) { return texts[static_cast<size_t>(failure)]; }

}  // namespace

std::string_view rawValue(CaptureFailure failure) { return textOf(failure).raw; }

std::string_view sentence(CaptureFailure failure) { return textOf(failure).sentence; }

std::optional<CaptureFailure> captureFailureFromRawValue(std::string_view raw) {
  for (const auto& text : texts) {
    if (text.raw == raw) return text.failure;
  }
  return std::nullopt;
}

Json response(CaptureFailure failure) {
  return Json{{"ok", false}, {"error_code", rawValue(failure)}, {"error", sentence(failure)}};
}

}  // namespace rezoro::capture
