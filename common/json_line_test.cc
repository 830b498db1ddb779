#include "common/json_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "common/json_reader.h"

namespace rezoro {
namespace {

TEST(SerializedJson, SortsKeysCompactlyAndEscapesSlash) {
  Json value = {{"ok", false},
                {"error_code", "invalid_input"},
                {"error", "Cut Out received an invalid image or request."}};
  EXPECT_EQ(serializedJson(value).value(),
            R"({"error":"Cut Out received an invalid image or request.","error_code":"invalid_input","ok":false})");
  EXPECT_EQ(serializedJson(Json{{"mask_path", "/tmp/a b/m.png"}}).value(),
            R"({"mask_path":"\/tmp\/a b\/m.png"})");
}

TEST(SerializedJson, KeyOrderIsByteOrder) {
  Json value = {{"b", 1}, {"B", 2}, {"a_b", 3}, {"ab", 4}, {"", 5}};
  EXPECT_EQ(serializedJson(value).value(), R"({"":5,"B":2,"a_b":3,"ab":4,"b":1})");
}

TEST(SerializedJson, DoublesAreShortestRoundTrip) {
  EXPECT_EQ(serializedJson(Json(1.0 / 24.0)).value(), "0.041666666666666664");
  EXPECT_EQ(serializedJson(Json(5.2)).value(), "5.2");
  EXPECT_EQ(serializedJson(Json(3.0)).value(), "3");
  EXPECT_EQ(serializedJson(Json(3.125)).value(), "3.125");
  EXPECT_EQ(serializedJson(Json(-0.5)).value(), "-0.5");
}

TEST(SerializedJson, BooleansAndIntegersStayDistinct) {
  Json value = {{"ok", true}, {"revision", 3}, {"big", 9007199254740993LL}, {"size", {2000, 3000}}};
  EXPECT_EQ(serializedJson(value).value(),
            R"({"big":9007199254740993,"ok":true,"revision":3,"size":[2000,3000]})");
}

TEST(SerializedJson, EscapesControlsAndKeepsUnicode) {
  EXPECT_EQ(serializedJson(Json("a\"b\\c\n\t\x01")).value(), R"("a\"b\\c\n\t\u0001")");
  EXPECT_EQ(serializedJson(Json("caf\xC3\xA9")).value(), "\"caf\xC3\xA9\"");
}

TEST(SerializedJson, RefusesWhatCannotBeWritten) {
  EXPECT_FALSE(serializedJson(Json(std::nan(""))).has_value());
  EXPECT_FALSE(serializedJson(Json{{"x", std::numeric_limits<double>::infinity()}}).has_value());
  EXPECT_FALSE(serializedJson(Json("bad \xC3")).has_value());
  EXPECT_FALSE(serializedJson(Json("\xED\xA0\x80")).has_value());  // a lone surrogate
}

TEST(WriteJsonLine, WritesOneLineOrNothing) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_TRUE(writeJsonLine(fds[1], Json{{"ok", true}}));
  EXPECT_FALSE(writeJsonLine(fds[1], Json(std::nan(""))));
  ::close(fds[1]);
  char buffer[64];
  const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "{\"ok\":true}\n");
}

TEST(ParseJsonObject, AcceptsObjectsOnly) {
  EXPECT_TRUE(parseJsonObject(R"({"kind":"native_cutout"})").is_object());
  EXPECT_THROW(parseJsonObject("[1,2]"), JsonReadError);
  EXPECT_THROW(parseJsonObject("\"text\""), JsonReadError);
  EXPECT_THROW(parseJsonObject("{\"a\":1"), JsonReadError);
  EXPECT_THROW(parseJsonObject("{} x"), JsonReadError);
  EXPECT_THROW(parseJsonObject(""), JsonReadError);
  EXPECT_THROW(parseJsonObject("{\"a\":\"\xC3\"}"), JsonReadError);
}

TEST(ParseJsonObject, KeepsBooleansApartFromNumbers) {
  const auto value = parseJsonObject(R"({"a":true,"b":1,"c":1.5,"d":0})");
  EXPECT_TRUE(value["a"].is_boolean());
  EXPECT_TRUE(value["b"].is_number_integer());
  EXPECT_TRUE(value["c"].is_number_float());
  EXPECT_FALSE(value["d"].is_boolean());
}

}  // namespace
}  // namespace rezoro
