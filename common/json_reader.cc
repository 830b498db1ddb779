#include "common/json_reader.h"

namespace rezoro {

nlohmann::json parseJsonObject(std::string_view text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false,
                                               /*ignore_comments=*/false);
  if (value.is_discarded()) throw JsonReadError("the text is not valid JSON");
  if (!value.is_object()) throw JsonReadError("the top-level JSON value is not an object");
  return value;
}

}  // namespace rezoro
