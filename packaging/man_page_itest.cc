// The manual pages: groff reads them without a warning, and they list every failure code with the
// very sentence the program sends.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "capture/contract/capture_failure.h"
#include "capture/testing/display_and_sound.h"
#include "capture/testing/test_basics.h"
#include "cutout/contract/cutout_failure.h"

namespace rezoro {
namespace {

namespace fs = std::filesystem;

const fs::path manDirectory = fs::path(REZORO_SOURCE_DIR) / "doc" / "man";

// What `man --warnings -l page` says on standard error (its page text is dropped): groff's warnings,
// or man's own complaint when it cannot read the page.
std::string manWarnings(const fs::path& page) {
  return capture::testing::commandOutput("MANWIDTH=80 man --warnings -l '" + page.string() + "' 2>&1 >/dev/null");
}

// The page's source holds the code in bold, followed on the next line by the sentence.
template <class Failure>
void expectFailureListed(const std::string& page, Failure failure) {
  const std::string entry = ".B " + std::string(rawValue(failure)) + "\n" + std::string(sentence(failure)) + "\n";
  EXPECT_NE(page.find(entry), std::string::npos) << "missing:\n" << entry;
}

TEST(ManPages, FormatWithoutWarnings) {
  for (const char* page : {"rezoro-cutout.1", "rezoro-capture.1"}) {
    EXPECT_EQ(manWarnings(manDirectory / page), "") << page;
  }
}

TEST(ManPages, ListEveryFailureWithItsSentence) {
  const std::string cutoutPage = capture::testing::readWholeFile(manDirectory / "rezoro-cutout.1");
  for (int index = 0; index <= static_cast<int>(cutout::CutoutFailure::nativeFailure); ++index) {
    expectFailureListed(cutoutPage, static_cast<cutout::CutoutFailure>(index));
  }
  const std::string capturePage = capture::testing::readWholeFile(manDirectory / "rezoro-capture.1");
  for (int index = 0; index <= static_cast<int>(capture::CaptureFailure::timeout); ++index) {
    expectFailureListed(capturePage, static_cast<capture::CaptureFailure>(index));
  }
}

}  // namespace
}  // namespace rezoro
