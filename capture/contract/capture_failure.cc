#include "capture/contract/capture_failure.h"

#include "common/failure_table.h"

namespace rezoro::capture {
namespace {

constexpr FailureTable<CaptureFailure, 10> failures{{{
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
}}};

}  // namespace

std::string_view rawValue(CaptureFailure failure) { return failures.rawValue(failure); }

std::string_view sentence(CaptureFailure failure) { return failures.sentence(failure); }

std::optional<CaptureFailure> captureFailureFromRawValue(std::string_view raw) { return failures.fromRawValue(raw); }

Json response(CaptureFailure failure) { return failures.response(failure); }

}  // namespace rezoro::capture
