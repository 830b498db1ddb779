#include "common/json_line.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <map>

namespace rezoro {
namespace {

// Validates one UTF-8 sequence starting at `i`; returns its length or 0 when it is malformed.
size_t utf8SequenceLength(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t code = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  const bool overlong = (length == 2 && code < 0x80) || (length == 3 && code < 0x800) ||
                        (length == 4 && code < 0x10000);
  if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool appendString(std::string& out, const std::string& s) {
  out.push_back('"');
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t length = utf8SequenceLength(s, i);
      if (length == 0) return false;
      out.append(s, i, length);
      i += length;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          static constexpr char hex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
  return true;
}

template <typename Number>
void appendNumber(std::string& out, Number value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

bool append(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: out += "null"; return true;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return true;
    case Json::value_t::number_integer: appendNumber(out, value.get<int64_t>()); return true;
    case Json::value_t::number_unsigned: appendNumber(out, value.get<uint64_t>()); return true;
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      if (!std::isfinite(number)) return false;
      appendNumber(out, number);
      return true;
    }
    case Json::value_t::string: return appendString(out, value.get_ref<const std::string&>());
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        if (!append(out, element)) return false;
      }
      out.push_back(']');
      return true;
    }
    case Json::value_t::object: {
      // nlohmann's object is a std::map, so iteration is already in ascending byte order.
      out.push_back('{');
      bool first = true;
      for (const auto& [key, element] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        if (!appendString(out, key)) return false;
        out.push_back(':');
        if (!append(out, element)) return false;
      }
      out.push_back('}');
      return true;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded: return false;
  }
  return false;
}

}  // namespace

std::optional<std::string> serializedJson(const Json& value) {
  std::string out;
  if (!append(out, value)) return std::nullopt;
  return out;
}

bool writeJsonLine(int fd, const Json& value) {
  auto text = serializedJson(value);
  if (!text) return false;
  text->push_back('\n');
  ssize_t written;
  do {
    written = ::write(fd, text->data(), text->size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(text->size());
}

}  // namespace rezoro
