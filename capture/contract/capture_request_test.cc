#include "capture/contract/capture_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "capture/contract/capture_failure.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using testing::TempDir;
using testing::writeTextFile;

class CaptureRequestTest : public ::testing::Test {
 protected:
  Json video() const {
    return Json{{"kind", "video"},
                {"destination", (dir / "clip.mp4").string()},
                {"capture_audio", true},
                {"duration_seconds", 10},
                {"exclude_pid", 4321},
                {"rect", {0, 0, 640, 360}}};
  }
  Json audio() const {
    return Json{{"kind", "audio"},
                {"destination", (dir / "sound.wav").string()},
                {"capture_audio", true},
                {"duration_seconds", 60.5},
                {"exclude_pid", 7}};
  }
  static std::optional<CaptureFailure> failureOf(const Json& object) {
    try {
      CaptureRequest::fromJson(object);
      return std::nullopt;
    } catch (CaptureFailure failure) {
      return failure;
    }
  }
  static void expectInvalid(const Json& object) {
    EXPECT_EQ(failureOf(object), CaptureFailure::invalidInput) << object.dump();
  }
  static void expectAccepted(const Json& object) {
    EXPECT_EQ(failureOf(object), std::nullopt) << object.dump();
  }

  TempDir dir;
};

TEST_F(CaptureRequestTest, BuildsTheRecordFromAValidObject) {
  Json object = video();
  object["rect"] = {-10.5, 20, 1280, 720};
  object["unknown"] = "ignored";
  const CaptureRequest request = CaptureRequest::fromJson(object);
  EXPECT_EQ(request.kind, "video");
  EXPECT_EQ(request.destination, dir / "clip.mp4");
  ASSERT_TRUE(request.region.has_value());
  EXPECT_EQ(*request.region, (CaptureRegion{-10.5, 20, 1280, 720}));
  EXPECT_TRUE(request.captureAudio);
  EXPECT_EQ(request.duration, 10.0);
  EXPECT_EQ(request.excludedPID, 4321);

  const CaptureRequest sound = CaptureRequest::fromJson(audio());
  EXPECT_EQ(sound.kind, "audio");
  EXPECT_FALSE(sound.region.has_value());
  EXPECT_EQ(sound.duration, 60.5);
}

TEST_F(CaptureRequestTest, KindDestinationAndCaptureAudioAreRequired) {
  for (const char* key : {"kind", "destination", "capture_audio"}) {
    Json object = video();
    object.erase(key);
    expectInvalid(object);
    object = audio();
    object.erase(key);
    expectInvalid(object);
  }
  for (const Json& kind : {Json("Video"), Json("screen"), Json(1), Json(nullptr)}) {
    Json object = video();
    object["kind"] = kind;
    expectInvalid(object);
  }
  for (const Json& flag : {Json(1), Json(0), Json("true"), Json(nullptr)}) {
    Json object = video();
    object["capture_audio"] = flag;
    expectInvalid(object);
  }
}

TEST_F(CaptureRequestTest, DestinationMustBeAnAbsolutePathWithTheKindsExtension) {
  const std::string base = dir.path().string();
  for (const Json& destination :
       {Json("clip.mp4"), Json(""), Json(42), Json(base + "/clip.wav"), Json(base + "/clip"),
        Json(base + "/.mp4"), Json(base + "/clip.mp4.txt"), Json(base + "/missing/clip.mp4"),
        Json(base + std::string("/cl\0ip.mp4", 10))}) {
    Json object = video();
    object["destination"] = destination;
    expectInvalid(object);
  }
  Json wrongAudio = audio();
  wrongAudio["destination"] = base + "/sound.mp4";
  expectInvalid(wrongAudio);

  Json upper = audio();
  upper["destination"] = base + "/SOUND.WAV";
  expectAccepted(upper);
  upper = video();
  upper["destination"] = base + "/Clip.Mp4";
  expectAccepted(upper);
}

TEST_F(CaptureRequestTest, DestinationIsStandardisedLexically) {
  Json object = video();
  object["destination"] = dir.path().string() + "/never-made/../././clip.mp4";
  EXPECT_EQ(CaptureRequest::fromJson(object).destination, dir / "clip.mp4");
  object["destination"] = dir.path().string() + "//clip.mp4";
  EXPECT_EQ(CaptureRequest::fromJson(object).destination, dir / "clip.mp4");
  // The standardised directory is the one that must exist: here it does not.
  object["destination"] = dir.path().string() + "/clip.mp4/../../nowhere/x.mp4";
  expectInvalid(object);
}

TEST_F(CaptureRequestTest, NumbersMustBeFiniteNumbersNotBooleans) {
  for (const char* key : {"duration_seconds", "exclude_pid"}) {
    for (const Json& value : {Json(true), Json("5"), Json(nullptr), Json::array({5})}) {
      Json object = video();
      object[key] = value;
      expectInvalid(object);
    }
    Json object = video();
    object.erase(key);
    expectInvalid(object);
  }
  EXPECT_THROW(finiteNumber(nullptr), CaptureFailure);
  const Json yes = true;
  EXPECT_THROW(finiteNumber(&yes), CaptureFailure);
  const Json big = 1.7976931348623157e308;
  EXPECT_EQ(finiteNumber(&big), 1.7976931348623157e308);
  const Json huge = 18446744073709551615ull;
  EXPECT_EQ(finiteNumber(&huge), 18446744073709551615.0);
}

TEST_F(CaptureRequestTest, DurationLimitsDependOnTheKind) {
  auto withDuration = [](Json object, const Json& duration) {
    object["duration_seconds"] = duration;
    return object;
  };
  expectAccepted(withDuration(video(), 30));
  expectAccepted(withDuration(video(), 0.001));
  expectInvalid(withDuration(video(), 30.5));
  expectInvalid(withDuration(video(), 0));
  expectInvalid(withDuration(video(), -1));
  expectAccepted(withDuration(audio(), 300));
  expectInvalid(withDuration(audio(), 300.5));
}

TEST_F(CaptureRequestTest, ProcessIdMustBeAPositive32BitWholeNumber) {
  auto withPid = [this](const Json& pid) {
    Json object = video();
    object["exclude_pid"] = pid;
    return object;
  };
  expectInvalid(withPid(12.5));
  expectInvalid(withPid(0));
  expectInvalid(withPid(-3));
  expectInvalid(withPid(2147483648.0));
  expectAccepted(withPid(2147483647));
  expectAccepted(withPid(5.0));
  EXPECT_EQ(CaptureRequest::fromJson(withPid(2147483647)).excludedPID, 2147483647);
}

TEST_F(CaptureRequestTest, AudioRecordingsMustCaptureAudio) {
  Json object = audio();
  object["capture_audio"] = false;
  expectInvalid(object);
  object = video();
  object["capture_audio"] = false;
  expectAccepted(object);
}

TEST_F(CaptureRequestTest, VideoNeedsAValidRectAudioIgnoresIt) {
  auto withRect = [this](const Json& rect) {
    Json object = video();
    object["rect"] = rect;
    return object;
  };
  Json missing = video();
  missing.erase("rect");
  expectInvalid(missing);
  expectInvalid(withRect({0, 0, 640}));
  expectInvalid(withRect({0, 0, 640, 360, 1}));
  expectInvalid(withRect({0, 0, 1.5, 360}));
  expectInvalid(withRect({0, 0, 640, 1.99}));
  expectInvalid(withRect({0, 0, 100000.5, 360}));
  expectInvalid(withRect({1000000.5, 0, 640, 360}));
  expectInvalid(withRect({0, -1000001, 640, 360}));
  expectInvalid(withRect({0, true, 640, 360}));
  expectInvalid(withRect({0, "0", 640, 360}));
  expectInvalid(withRect(Json{{"x", 0}, {"y", 0}, {"w", 640}, {"h", 360}}));
  expectAccepted(withRect({-1000000, -999999.5, 2, 100000}));

  Json sound = audio();
  sound["rect"] = "not read";
  expectAccepted(sound);
}

TEST_F(CaptureRequestTest, TopLevelMustBeAnObject) {
  expectInvalid(Json::array({video()}));
  expectInvalid(Json("video"));
}

class DestinationTest : public CaptureRequestTest {
 protected:
  CaptureRequest request(const std::string& name) const {
    CaptureRequest r;
    r.kind = "video";
    r.destination = dir / name;
    return r;
  }
  static std::optional<CaptureFailure> check(const CaptureRequest& r, bool remove) {
    try {
      r.validateDestination(remove);
      return std::nullopt;
    } catch (CaptureFailure failure) {
      return failure;
    }
  }
};

TEST_F(DestinationTest, MissingOrEmptyPlaceholderIsValid) {
  EXPECT_EQ(check(request("clip.mp4"), true), std::nullopt);

  writeTextFile(dir / "clip.mp4", "");
  EXPECT_EQ(check(request("clip.mp4"), false), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(dir / "clip.mp4"));
  EXPECT_EQ(check(request("clip.mp4"), true), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(dir / "clip.mp4"));
}

TEST_F(DestinationTest, AnythingElseIsRefusedAndLeftAlone) {
  writeTextFile(dir / "full.mp4", "data");
  std::filesystem::create_directory(dir / "folder.mp4");
  writeTextFile(dir / "target.mp4", "");
  std::filesystem::create_symlink(dir / "target.mp4", dir / "link.mp4");
  std::filesystem::create_symlink(dir / "nowhere.mp4", dir / "dangling.mp4");
  ASSERT_EQ(::mkfifo((dir / "fifo.mp4").c_str(), 0600), 0);
  for (const char* name : {"full.mp4", "folder.mp4", "link.mp4", "dangling.mp4", "fifo.mp4"}) {
    EXPECT_EQ(check(request(name), true), CaptureFailure::invalidInput) << name;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(dir / name))) << name;
  }
  // A path through a regular file cannot be examined.
  EXPECT_EQ(check(request("full.mp4/x.mp4"), false), CaptureFailure::invalidInput);

  // The whole request is refused the same way.
  Json object = video();
  object["destination"] = (dir / "full.mp4").string();
  expectInvalid(object);
  object["destination"] = (dir / "link.mp4").string();
  expectInvalid(object);
  object["destination"] = (dir / "target.mp4").string();
  expectAccepted(object);
  EXPECT_TRUE(std::filesystem::exists(dir / "target.mp4"));
}

TEST_F(DestinationTest, PlaceholderThatCannotBeRemovedIsAnExportFailure) {
  std::filesystem::create_directory(dir / "locked");
  writeTextFile(dir / "locked" / "clip.mp4", "");
  ::chmod((dir / "locked").c_str(), 0555);
  const CaptureRequest r = request("locked/clip.mp4");
  const int status = testing::exitStatusAsUnprivileged([&] {
    const auto failure = check(r, true);
    return failure ? static_cast<int>(*failure) : 100;
  });
  EXPECT_EQ(status, static_cast<int>(CaptureFailure::exportFailed));
  EXPECT_TRUE(std::filesystem::exists(dir / "locked" / "clip.mp4"));
}

class LoadRequestTest : public CaptureRequestTest {
 protected:
  static std::optional<CaptureFailure> load(const std::filesystem::path& path) {
    try {
      loadRequest(path.string());
      return std::nullopt;
    } catch (CaptureFailure failure) {
      return failure;
    }
  }
  // The valid video request padded with spaces to exactly `size` bytes.
  std::string padded(size_t size) const {
    std::string text = video().dump();
    text.resize(size, ' ');
    return text;
  }
};

TEST_F(LoadRequestTest, SizeLimitsAreOneTo65536Bytes) {
  writeTextFile(dir / "empty.json", "");
  EXPECT_EQ(load(dir / "empty.json"), CaptureFailure::invalidInput);
  writeTextFile(dir / "exact.json", padded(65536));
  EXPECT_EQ(load(dir / "exact.json"), std::nullopt);
  writeTextFile(dir / "over.json", padded(65537));
  EXPECT_EQ(load(dir / "over.json"), CaptureFailure::invalidInput);
}

TEST_F(LoadRequestTest, OnlyRegularFilesNamedDirectlyAreRead) {
  writeTextFile(dir / "request.json", video().dump());
  EXPECT_EQ(load(dir / "request.json"), std::nullopt);
  std::filesystem::create_symlink(dir / "request.json", dir / "link.json");
  EXPECT_EQ(load(dir / "link.json"), CaptureFailure::invalidInput);
  EXPECT_EQ(load(dir.path()), CaptureFailure::invalidInput);
  EXPECT_EQ(load(dir / "missing.json"), CaptureFailure::invalidInput);
  EXPECT_EQ(load("/dev/zero"), CaptureFailure::invalidInput);
  // A FIFO with no writer must be refused, not waited on.
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  EXPECT_EQ(load(dir / "fifo.json"), CaptureFailure::invalidInput);
}

TEST_F(LoadRequestTest, ContentMustBeOneJsonObject) {
  const std::pair<const char*, std::string> cases[] = {
      {"array.json", "[" + video().dump() + "]"},
      {"text.json", "not json"},
      {"trailing.json", video().dump() + " x"},
      {"utf8.json", "{\"kind\":\"vid\xff\"}"},
      {"truncated.json", video().dump().substr(0, 40)},
  };
  for (const auto& [name, text] : cases) {
    writeTextFile(dir / name, text);
    EXPECT_EQ(load(dir / name), CaptureFailure::invalidInput) << name;
  }
  Json noAudioFlag = video();
  noAudioFlag.erase("capture_audio");
  writeTextFile(dir / "flag.json", noAudioFlag.dump());
  EXPECT_EQ(load(dir / "flag.json"), CaptureFailure::invalidInput);
}

}  // namespace
}  // namespace rezoro::capture
