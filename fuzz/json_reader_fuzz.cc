// The JSON reader both programs use on request files, and the one writer of their answers: any
// text either parses to an object or throws JsonReadError, and whatever parses is written in the
// answer form and reads back as the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json_line.h"
#include "common/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nlohmann::json value;
  try {
    value = rezoro::parseJsonObject(text);
  } catch (const rezoro::JsonReadError&) {
    return 0;
  }
  const auto written = rezoro::serializedJson(value);
  if (!written) return 0;  // e.g. a number the writer cannot give exactly
  // The same value, compared as numbers: a negative zero is written "-0", which reads back as the
  // integer 0. From then on the text is stable.
  const nlohmann::json again = rezoro::parseJsonObject(*written);
  if (again != value) std::abort();
  const auto rewritten = rezoro::serializedJson(again);
  if (!rewritten || rezoro::serializedJson(rezoro::parseJsonObject(*rewritten)) != rewritten) std::abort();
  return 0;
}
