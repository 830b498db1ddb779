#include "capture/media/media_writer.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "capture/contract/capture_failure.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using testing::TempDir;

template <typename Sample>
class FakeInput : public MediaWriterInput<Sample> {
 public:
  bool isReadyForMoreMediaData() const override { return true; }
  bool append(const Sample&) override { return true; }
  void markAsFinished() override {}
};

// What the fake writer should do, and what it saw.
struct FakeScript {
  bool throwOnCreate = false;
  bool refuseVideo = false;
  bool refuseAudio = false;
  bool refuseStart = false;
  std::optional<VideoOutputSettings> video;
  std::optional<AudioOutputSettings> audio;
  int created = 0;
};

// Creates its file when writing starts, as the real writer does, so that clean-up can be checked.
class FakeWriter : public MediaFileWriter {
 public:
  FakeWriter(FakeScript& script, std::filesystem::path path) : script_(script), path_(std::move(path)) {}
  VideoWriterInput* addVideoInput(const VideoOutputSettings& settings) override {
    if (script_.refuseVideo) return nullptr;
    script_.video = settings;
    return &video_;
  }
  AudioWriterInput* addAudioInput(const AudioOutputSettings& settings) override {
    if (script_.refuseAudio) return nullptr;
    script_.audio = settings;
    return &audio_;
  }
  bool startWriting() override {
    testing::writeTextFile(path_, "movie header");
    if (script_.refuseStart) return false;
    status_ = WriterStatus::writing;
    return true;
  }
  WriterStatus status() const override { return status_; }
  void startSession(const MediaTime&) override {}
  void endSession(const MediaTime&) override {}
  void finishWriting(std::function<void(WriterStatus)> completion) override {
    completion(WriterStatus::completed);
  }
  void cancelWriting() override { status_ = WriterStatus::cancelled; }

 private:
  FakeScript& script_;
  std::filesystem::path path_;
  FakeInput<VideoSample> video_;
  FakeInput<AudioSample> audio_;
  WriterStatus status_ = WriterStatus::unknown;
};

class MediaWriterTest : public ::testing::Test {
 protected:
  MediaPlatform platform() {
    MediaPlatform p;
    p.makeMpeg4Writer = [this](const std::filesystem::path& path) -> std::unique_ptr<MediaFileWriter> {
      if (script.throwOnCreate) throw std::runtime_error("no muxer");
      ++script.created;
      return std::make_unique<FakeWriter>(script, path);
    };
    p.makeWaveFile = [](const std::filesystem::path&) -> std::unique_ptr<WaveFileWriter> {
      throw std::runtime_error("not used here");
    };
    return p;
  }
  CaptureRequest request(const std::string& kind, const std::string& name, bool audio = true) {
    CaptureRequest r;
    r.kind = kind;
    r.destination = dir / name;
    r.captureAudio = audio;
    r.duration = 5;
    r.excludedPID = 1;
    if (kind == "video") r.region = CaptureRegion{0, 0, 640, 360};
    return r;
  }
  // Entries of the directory other than the ones the test made itself.
  size_t entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.path()),
                                             std::filesystem::directory_iterator()));
  }

  TempDir dir;
  FakeScript script;
};

TEST(VideoAverageBitRate, FiveBitsPerPixelWithinLimits) {
  EXPECT_EQ(videoAverageBitRate(1920, 1080), 10368000);
  EXPECT_EQ(videoAverageBitRate(640, 360), 1152000);
  EXPECT_EQ(videoAverageBitRate(320, 240), 1000000);
  EXPECT_EQ(videoAverageBitRate(3840, 2160), 20000000);
  const VideoOutputSettings settings = videoOutputSettings(1920, 1080);
  EXPECT_EQ(settings.expectedFrameRate, 24);
  EXPECT_EQ(settings.maxKeyFrameInterval, 48);
  EXPECT_FALSE(settings.allowFrameReordering);
}

TEST(TemporaryRecordingPath, HiddenBesideTheDestinationWithItsExtensionAsWritten) {
  EXPECT_EQ(temporaryRecordingPath("/a/b/clip.mp4", "0123"), "/a/b/.rezoro-recording-0123.mp4");
  EXPECT_EQ(temporaryRecordingPath("/a/b/Clip.MP4", "0123"), "/a/b/.rezoro-recording-0123.MP4");
  EXPECT_EQ(temporaryRecordingPath("/x.tar.Wav", "U"), "/.rezoro-recording-U.Wav");
}

TEST_F(MediaWriterTest, VideoWriterIsWritingWithBothInputs) {
  MediaWriter media(request("video", "clip.MP4"), 1920, 1080, platform());
  const std::regex name(R"(\.rezoro-recording-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\.MP4)");
  EXPECT_TRUE(std::regex_match(media.temporary.filename().string(), name)) << media.temporary;
  EXPECT_EQ(media.temporary.parent_path(), dir.path());
  ASSERT_NE(media.writer(), nullptr);
  EXPECT_EQ(media.writer()->status(), WriterStatus::writing);
  EXPECT_NE(media.videoInput(), nullptr);
  EXPECT_NE(media.audioInput(), nullptr);
  EXPECT_EQ(script.video->averageBitRate, 10368000);
  EXPECT_EQ(script.video->width, 1920);
  EXPECT_EQ(script.audio->sampleRate, 48000);
  EXPECT_EQ(script.audio->channels, 2);
  EXPECT_EQ(script.audio->bitRate, 192000);
  EXPECT_EQ(media.width, 1920);
  EXPECT_FALSE(media.firstTime().has_value());
  EXPECT_FALSE(media.lastVideoTime().isValid());
  EXPECT_EQ(media.videoFrames() + media.audioFrames() + media.droppedFrames() + media.waveFrames(), 0);
}

TEST_F(MediaWriterTest, VideoWithoutAudioHasNoAudioInput) {
  MediaWriter media(request("video", "clip.mp4", false), 640, 360, platform());
  EXPECT_NE(media.videoInput(), nullptr);
  EXPECT_EQ(media.audioInput(), nullptr);
  EXPECT_FALSE(script.audio.has_value());
}

TEST_F(MediaWriterTest, AudioRecordingCreatesNothingYet) {
  MediaWriter media(request("audio", "sound.wav"), 0, 0, platform());
  EXPECT_EQ(media.writer(), nullptr);
  EXPECT_EQ(media.videoInput(), nullptr);
  EXPECT_EQ(media.audioInput(), nullptr);
  EXPECT_EQ(media.waveFile(), nullptr);
  EXPECT_EQ(media.width, 0);
  EXPECT_EQ(script.created, 0);
  EXPECT_FALSE(std::filesystem::exists(media.temporary));
  EXPECT_EQ(media.temporary.extension(), ".wav");
}

TEST_F(MediaWriterTest, PlaceholderIsRemovedAndTemporaryGoesWithTheWriter) {
  testing::writeTextFile(dir / "clip.mp4", "");
  std::filesystem::path temporary;
  {
    MediaWriter media(request("video", "clip.mp4"), 640, 360, platform());
    EXPECT_FALSE(std::filesystem::exists(dir / "clip.mp4"));
    temporary = media.temporary;
    EXPECT_TRUE(std::filesystem::exists(temporary));
  }
  EXPECT_FALSE(std::filesystem::exists(temporary));
  EXPECT_EQ(entries(), 0u);
}

TEST_F(MediaWriterTest, OccupiedDestinationFailsBeforeAnyWriterExists) {
  testing::writeTextFile(dir / "clip.mp4", "keep me");
  std::filesystem::create_directory(dir / "folder.mp4");
  for (const char* name : {"clip.mp4", "folder.mp4"}) {
    try {
      MediaWriter media(request("video", name), 640, 360, platform());
      ADD_FAILURE() << name;
    } catch (CaptureFailure failure) {
      EXPECT_EQ(failure, CaptureFailure::invalidInput);
    }
  }
  EXPECT_EQ(script.created, 0);
  EXPECT_EQ(entries(), 2u);
}

TEST_F(MediaWriterTest, FailedSetUpLeavesNoTemporaryFile) {
  struct Case {
    bool FakeScript::*step;
    bool isCaptureFailure;
  };
  for (const Case c : {Case{&FakeScript::refuseVideo, true}, Case{&FakeScript::refuseAudio, true},
                       Case{&FakeScript::refuseStart, true}, Case{&FakeScript::throwOnCreate, false}}) {
    script = FakeScript{};
    script.*(c.step) = true;
    testing::writeTextFile(dir / "clip.mp4", "");
    bool caught = false;
    try {
      MediaWriter media(request("video", "clip.mp4"), 640, 360, platform());
    } catch (CaptureFailure failure) {
      caught = c.isCaptureFailure;
      EXPECT_EQ(failure, CaptureFailure::exportFailed);
    } catch (const std::runtime_error&) {
      caught = !c.isCaptureFailure;
    }
    EXPECT_TRUE(caught);
    // The placeholder went when the set-up began; the half-written temporary went with the failure.
    EXPECT_EQ(entries(), 0u);
  }
}

}  // namespace
}  // namespace rezoro::capture
