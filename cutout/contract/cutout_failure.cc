#include "cutout/contract/cutout_failure.h"

#include "common/failure_table.h"

namespace rezoro::cutout {
namespace {

constexpr FailureTable<CutoutFailure, 6> failures{{{
    {CutoutFailure::noForeground, "no_foreground", "No foreground subject was found."},
    {CutoutFailure::unsupportedHardware, "unsupported_hardware",
     "Native Cut Out requires a supported Mac and macOS 14 or later."},
    {CutoutFailure::invalidInput, "invalid_input", "Cut Out received an invalid image or request."},
    {CutoutFailure::imageTooLarge, "image_too_large", "The image is too large for native Cut Out."},
    {CutoutFailure::exportFailed, "export_failed", "The Cut Out mask could not be saved."},
    {CutoutFailure::nativeFailure, "native_failure", "Native Cut Out could not finish."},
}}};

}  // namespace

std::string_view rawValue(CutoutFailure failure) { return failures.rawValue(failure); }

std::string_view sentence(CutoutFailure failure) { return failures.sentence(failure); }

std::optional<CutoutFailure> cutoutFailureFromRawValue(std::string_view raw) { return failures.fromRawValue(raw); }

Json response(CutoutFailure failure) { return failures.response(failure); }

}  // namespace rezoro::cutout
