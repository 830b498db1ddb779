#include "common/failure_table.h"

#include <gtest/gtest.h>

namespace rezoro {
namespace {

enum class Outcome { missing, refused, late };

constexpr FailureTable<Outcome, 3> outcomes{{{
    {Outcome::missing, "missing", "Nothing was there."},
    {Outcome::refused, "refused", "It said \"no\" / \\ twice."},
    {Outcome::late, "late", "Too late."},
}}};

// Lookups are constant expressions, so a program's vocabulary costs nothing at start-up.
static_assert(outcomes.rawValue(Outcome::late) == "late");
static_assert(outcomes.fromRawValue("refused") == Outcome::refused);

TEST(FailureTable, EveryCaseFindsItsOwnTextsAndRawValuesMatchExactly) {
  const std::pair<Outcome, std::string_view> cases[] = {
      {Outcome::missing, "missing"}, {Outcome::refused, "refused"}, {Outcome::late, "late"}};
  for (const auto& [outcome, raw] : cases) {
    EXPECT_EQ(outcomes.rawValue(outcome), raw);
    EXPECT_EQ(outcomes.fromRawValue(raw), outcome);
  }
  EXPECT_EQ(outcomes.sentence(Outcome::missing), "Nothing was there.");
  EXPECT_EQ(outcomes.sentence(Outcome::late), "Too late.");
  EXPECT_EQ(outcomes.fromRawValue("Late"), std::nullopt);
  EXPECT_EQ(outcomes.fromRawValue("late "), std::nullopt);
  EXPECT_EQ(outcomes.fromRawValue(""), std::nullopt);
}

TEST(FailureTable, ResponseHoldsExactlyTheThreeEntriesEscapedAsEverywhere) {
  EXPECT_EQ(serializedJson(outcomes.response(Outcome::refused)).value(),
            R"({"error":"It said \"no\" \/ \\ twice.","error_code":"refused","ok":false})");
  EXPECT_EQ(outcomes.response(Outcome::missing).size(), 3u);
}

}  // namespace
}  // namespace rezoro
