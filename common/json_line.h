#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace rezoro {

using Json = nlohmann::json;

// The one JSON text form both programs write: keys in ascending byte order, no whitespace, a forward
// slash escaped as "\/", integers as integers, doubles in their shortest round-trip form, Booleans as
// true/false. Returns nothing when the value cannot be written: a NaN or infinite double, a string
// that is not valid UTF-8, or a discarded value.
std::optional<std::string> serializedJson(const Json& value);

// Writes serializedJson(value) and one "\n" to `fd` in a single write. Returns false, having written
// nothing, when serialisation fails; false as well when the write fails or is short.
bool writeJsonLine(int fd, const Json& value);

}  // namespace rezoro
