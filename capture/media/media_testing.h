#pragma once
// Fakes of the movie writer and the wave file for the media writer's tests: scriptable readiness
// and refusals, and a record of every call.

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/contract/capture_request.h"
#include "capture/media/media_writer.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture::testing {

struct FakeOutputs {
  // Scripted behaviour.
  bool videoReady = true;
  bool audioReady = true;
  bool refuseVideo = false;
  bool refuseAudio = false;
  int failWaveWriteAt = -1;  // index of the wave write that throws, or -1

  // What happened, in order: "startSession", "video", "audio", "endSession", "finishVideo",
  // "finishAudio", "finishWriting", "cancel".
  std::vector<std::string> events;
  std::vector<MediaTime> sessionStarts;
  std::vector<MediaTime> sessionEnds;
  std::vector<VideoSample> videoAppends;
  std::vector<AudioSample> audioAppends;
  std::function<void(WriterStatus)> pendingFinish;
  bool writing = false;

  // Wave file: frames of each write, and every frame written (left channel), zeros included.
  bool waveCreated = false;
  std::vector<int64_t> waveWrites;
  std::vector<float> waveLeft;
};

template <typename Sample>
class FakeInput : public MediaWriterInput<Sample> {
 public:
  FakeInput(FakeOutputs& outputs, bool video) : outputs_(outputs), video_(video) {}
  bool isReadyForMoreMediaData() const override {
    return outputs_.writing && (video_ ? outputs_.videoReady : outputs_.audioReady);
  }
  bool append(const Sample& sample) override {
    if (!isReadyForMoreMediaData() || (video_ ? outputs_.refuseVideo : outputs_.refuseAudio)) return false;
    if constexpr (std::is_same_v<Sample, VideoSample>) {
      outputs_.videoAppends.push_back(sample);
      outputs_.events.push_back("video");
    } else {
      outputs_.audioAppends.push_back(sample);
      outputs_.events.push_back("audio");
    }
    return true;
  }
  void markAsFinished() override { outputs_.events.push_back(video_ ? "finishVideo" : "finishAudio"); }

 private:
  FakeOutputs& outputs_;
  bool video_;
};

// Creates its file when writing starts and completes it (a 100-byte body) when the finish is
// reported, which the test does through FakeOutputs::pendingFinish.
class FakeMovieWriter : public MediaFileWriter {
 public:
  FakeMovieWriter(FakeOutputs& outputs, std::filesystem::path path)
      : outputs_(outputs), path_(std::move(path)), video_(outputs, true), audio_(outputs, false) {}
  VideoWriterInput* addVideoInput(const VideoOutputSettings&) override { return &video_; }
  AudioWriterInput* addAudioInput(const AudioOutputSettings&) override { return &audio_; }
  bool startWriting() override {
    writeTextFile(path_, "header");
    outputs_.writing = true;
    return true;
  }
  WriterStatus status() const override { return outputs_.writing ? WriterStatus::writing : WriterStatus::unknown; }
  void startSession(const MediaTime& time) override {
    outputs_.sessionStarts.push_back(time);
    outputs_.events.push_back("startSession");
  }
  void endSession(const MediaTime& time) override {
    outputs_.sessionEnds.push_back(time);
    outputs_.events.push_back("endSession");
  }
  void finishWriting(std::function<void(WriterStatus)> completion) override {
    outputs_.events.push_back("finishWriting");
    outputs_.writing = false;
    outputs_.pendingFinish = [path = path_, completion](WriterStatus status) {
      if (status == WriterStatus::completed) writeTextFile(path, std::string(100, 'm'));
      completion(status);
    };
  }
  void cancelWriting() override {
    outputs_.events.push_back("cancel");
    outputs_.writing = false;
  }

 private:
  FakeOutputs& outputs_;
  std::filesystem::path path_;
  FakeInput<VideoSample> video_;
  FakeInput<AudioSample> audio_;
};

// Keeps a real file the size a 16-bit stereo WAV would have: a 44-byte header and 4 bytes a frame.
class FakeWaveFile : public WaveFileWriter {
 public:
  FakeWaveFile(FakeOutputs& outputs, const std::filesystem::path& path)
      : outputs_(outputs), file_(path, std::ios::binary | std::ios::trunc) {
    file_ << std::string(44, 'h') << std::flush;
  }
  void write(const float* interleaved, int64_t frames) override {
    if (static_cast<int>(outputs_.waveWrites.size()) == outputs_.failWaveWriteAt) {
      outputs_.failWaveWriteAt = -1;
      throw std::runtime_error("disk full");
    }
    outputs_.waveWrites.push_back(frames);
    for (int64_t i = 0; i < frames; ++i) outputs_.waveLeft.push_back(interleaved[2 * i]);
    file_ << std::string(static_cast<size_t>(frames) * 4, 'd') << std::flush;
  }

 private:
  FakeOutputs& outputs_;
  std::ofstream file_;
};

inline MediaPlatform fakeMediaPlatform(FakeOutputs& outputs) {
  MediaPlatform platform;
  platform.makeMpeg4Writer = [&outputs](const std::filesystem::path& path) -> std::unique_ptr<MediaFileWriter> {
    return std::make_unique<FakeMovieWriter>(outputs, path);
  };
  platform.makeWaveFile = [&outputs](const std::filesystem::path& path) -> std::unique_ptr<WaveFileWriter> {
    outputs.waveCreated = true;
    return std::make_unique<FakeWaveFile>(outputs, path);
  };
  return platform;
}

inline CaptureRequest recordingRequest(const std::filesystem::path& destination, const std::string& kind,
                                       double duration, bool captureAudio = true) {
  CaptureRequest request;
  request.kind = kind;
  request.destination = destination;
  request.captureAudio = kind == "audio" || captureAudio;
  request.duration = duration;
  request.excludedPID = 1;
  if (kind == "video") request.region = CaptureRegion{0, 0, 64, 48};
  return request;
}

// A run of work items standing in for the recorder's queue; `drain` runs them on the test thread.
struct TestQueue {
  std::deque<std::function<void()>> items;
  QueueHop hop() {
    return [this](std::function<void()> item) { items.push_back(std::move(item)); };
  }
  void drain() {
    while (!items.empty()) {
      auto item = std::move(items.front());
      items.pop_front();
      item();
    }
  }
};

}  // namespace rezoro::capture::testing
