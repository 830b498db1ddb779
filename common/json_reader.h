#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string_view>

namespace rezoro {

// Thrown by parseJsonObject for text that is not JSON, or JSON whose top level is not an object.
class JsonReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses `text` as one JSON document whose top-level value is an object. Booleans stay Booleans
// (never numbers), strings must be valid UTF-8, trailing non-space text is refused.
nlohmann::json parseJsonObject(std::string_view text);

}  // namespace rezoro
