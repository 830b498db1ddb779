#include "cutout/cutout_failure.h"

#include <array>

namespace rezoro::cutout {
namespace {

struct FailureText {
  CutoutFailure failure;
  std::string_view raw;
  std::string_view sentence;
};

constexpr std::array<FailureText, 6> texts = {{
    {CutoutFailure::noForeground, "no_foreground", "No foreground subject was found."},
    {CutoutFailure::unsupportedHardware, "unsupported_hardware",
     "Native Cut Out requires a supported Mac and macOS 14 or later."},
    {CutoutFailure::invalidInput, "invalid_input", "Cut Out received an invalid image or request."},
    {CutoutFailure::imageTooLarge, "image_too_large", "The image is too large for native Cut Out."},
    {CutoutFailure::exportFailed, "export_failed", "The Cut Out mask could not be saved."},
    {CutoutFailure::nativeFailure, "native_failure", "Native Cut Out could not finish."},
}};

const FailureText& textOf(CutoutFailure failure) {
  return texts[static_cast<size_t>(failure)];
}

}  // namespace

std::string_view rawValue(CutoutFailure failure) { return textOf(failure).raw; }

std::string_view sentence(CutoutFailure failure) { return textOf(failure).sentence; }

std::optional<CutoutFailure> cutoutFailureFromRawValue(std::string_view raw) {
  for (const auto& text : texts) {
    if (text.raw == raw) return text.failure;
  }
  return std::nullopt;
}

Json response(CutoutFailure failure) {
  return Json{{"ok", false}, {"error_code", rawValue(failure)}, {"error", sentence(failure)}};
}

}  // namespace rezoro::cutout
