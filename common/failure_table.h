#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "common/json_line.h"

namespace rezoro {

// One case of a program's failure vocabulary: the case, its machine-readable "error_code" and the
// one sentence for the user.
template <typename Failure>
struct FailureText {
  Failure failure;
  std::string_view raw;
  std::string_view sentence;
};

// A program's failure vocabulary over its enumeration `Failure`: one entry per case, in declaration
// order, so that a case finds its text by its index. Built at compile time, which refuses a table
// out of that order or with a raw value twice.
template <typename Failure, std::size_t count>
class FailureTable {
 public:
  consteval explicit FailureTable(const std::array<FailureText<Failure>, count>& texts) : texts_(texts) {
    for (std::size_t index = 0; index < count; ++index) {
      if (static_cast<std::size_t>(texts[index].failure) != index) throw "failure texts out of declaration order";
      for (std::size_t other = 0; other < index; ++other) {
        if (texts[other].raw == texts[index].raw) throw "a raw value names two failures";
      }
    }
  }

  // The machine-readable code, e.g. "export_failed".
  constexpr std::string_view rawValue(Failure failure) const { return textOf(failure).raw; }
  // The one-sentence message for the user.
  constexpr std::string_view sentence(Failure failure) const { return textOf(failure).sentence; }
  // The case whose raw value is exactly `raw`, or nothing.
  constexpr std::optional<Failure> fromRawValue(std::string_view raw) const {
    for (const auto& text : texts_) {
      if (text.raw == raw) return text.failure;
    }
    return std::nullopt;
  }
  // {"error": sentence, "error_code": raw value, "ok": false}
  Json response(Failure failure) const {
    return Json{{"ok", false}, {"error_code", rawValue(failure)}, {"error", sentence(failure)}};
  }

 private:
  constexpr const FailureText<Failure>& textOf(Failure failure) const {
    return texts_[static_cast<std::size_t>(failure)];
  }

  std::array<FailureText<Failure>, count> texts_;
};

}  // namespace rezoro
