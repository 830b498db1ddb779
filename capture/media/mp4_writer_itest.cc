#include "capture/platform/ffmpeg/mp4_writer.h"

#include <libyuv.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <map>
#include <thread>

#include "capture/media/media_writer.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using testing::TempDir;

constexpr int kSquare = 64;

int squareLeft(int index) { return 16 + 10 * index; }

// A dark blue picture with a white square that moves 20 pixels to the right per frame.
std::shared_ptr<const BgraImage> patternFrame(int index, int width, int height) {
  auto image = std::make_shared<BgraImage>(BgraImage::make(width, height));
  for (int y = 0; y < height; ++y) {
    uint8_t* row = image->row(y);
    for (int x = 0; x < width; ++x) {
      const bool inSquare = x >= squareLeft(index) && x < squareLeft(index) + kSquare &&
                            y >= height / 2 - kSquare / 2 && y < height / 2 + kSquare / 2;
      row[4 * x + 0] = inSquare ? 255 : 96;
      row[4 * x + 1] = inSquare ? 255 : 16;
      row[4 * x + 2] = inSquare ? 255 : 16;
      row[4 * x + 3] = 255;
    }
  }
  return image;
}

// One 1 kHz stereo tone buffer of `frames` frames starting at sample `first`.
std::shared_ptr<const std::vector<float>> toneBuffer(int64_t first, int64_t frames) {
  auto samples = std::make_shared<std::vector<float>>(static_cast<size_t>(frames) * 2);
  for (int64_t i = 0; i < frames; ++i) {
    const float value = 0.5f * std::sin(2 * M_PI * 1000.0 * static_cast<double>(first + i) / 48000);
    (*samples)[2 * i] = value;
    (*samples)[2 * i + 1] = value;
  }
  return samples;
}

Json probe(const std::filesystem::path& file) {
  const std::string command = "ffprobe -v error -print_format json -show_format -show_streams '" +
                              file.string() + "'";
  return Json::parse(testing::commandOutput(command), nullptr, false);
}

double number(const Json& value) { return std::stod(value.get<std::string>()); }

// Decoded content of a movie: the luma plane of every video frame with its time, and the left
// channel of the audio.
struct Decoded {
  struct Picture {
    double seconds;
    int width, height;
    std::vector<uint8_t> luma;
    int at(int x, int y) const { return luma[static_cast<size_t>(y) * width + x]; }
  };
  std::vector<Picture> pictures;
  std::vector<float> left;
};

Decoded decode(const std::filesystem::path& file) {
  Decoded decoded;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return decoded;
  avformat_find_stream_info(format, nullptr);
  std::map<int, AVCodecContext*> codecs;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* parameters = format->streams[i]->codecpar;
    AVCodecContext* codec = avcodec_alloc_context3(avcodec_find_decoder(parameters->codec_id));
    avcodec_parameters_to_context(codec, parameters);
    avcodec_open2(codec, codec->codec, nullptr);
    codecs[static_cast<int>(i)] = codec;
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto receive = [&](int index) {
    AVCodecContext* codec = codecs[index];
    while (avcodec_receive_frame(codec, frame) >= 0) {
      if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
        Decoded::Picture picture{frame->best_effort_timestamp * av_q2d(format->streams[index]->time_base),
                                 frame->width, frame->height, {}};
        for (int y = 0; y < frame->height; ++y) {
          const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
          picture.luma.insert(picture.luma.end(), row, row + frame->width);
        }
        decoded.pictures.push_back(std::move(picture));
      } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO && frame->format == AV_SAMPLE_FMT_FLTP) {
        const auto* left = reinterpret_cast<const float*>(frame->data[0]);
        decoded.left.insert(decoded.left.end(), left, left + frame->nb_samples);
      }
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    avcodec_send_packet(codecs[packet->stream_index], packet);
    receive(packet->stream_index);
    av_packet_unref(packet);
  }
  for (auto& [index, codec] : codecs) {
    avcodec_send_packet(codec, nullptr);
    receive(index);
    avcodec_free_context(&codec);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avformat_close_input(&format);
  return decoded;
}

class Mp4WriterTest : public ::testing::Test {
 protected:
  // Waits until the input takes the sample (the encoder drains its queue meanwhile).
  template <typename Sample>
  static void appendWhenReady(MediaWriterInput<Sample>* input, const Sample& sample) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!input->isReadyForMoreMediaData() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(input->append(sample));
  }

  static WriterStatus finish(MediaFileWriter& writer) {
    std::promise<WriterStatus> done;
    auto result = done.get_future();
    writer.finishWriting([&done](WriterStatus status) { done.set_value(status); });
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return WriterStatus::unknown;
    return result.get();
  }

  // A writer of 320×240 video only, writing, with its session started at `start`; the input is null
  // when it could not start.
  std::pair<std::unique_ptr<Mp4Writer>, VideoWriterInput*> startedVideoWriter(const std::filesystem::path& file) {
    auto writer = Mp4Writer::create(file);
    VideoWriterInput* video = writer->addVideoInput(videoOutputSettings(320, 240));
    if (!writer->startWriting()) return {std::move(writer), nullptr};
    writer->startSession(start);
    return {std::move(writer), video};
  }

  TempDir dir;
  // An arbitrary capture clock on a nanosecond timescale, as the capture stream stamps it.
  const MediaTime start = MediaTime::make(987654321012, 1000000000);
};

TEST_F(Mp4WriterTest, WritesH264AndAacForTheSessionWindow) {
  constexpr int kWidth = 640, kHeight = 360;
  const auto file = dir / "movie.mp4";
  auto writer = Mp4Writer::create(file);
  VideoWriterInput* video = writer->addVideoInput(videoOutputSettings(kWidth, kHeight));
  AudioWriterInput* audio = writer->addAudioInput(aacOutputSettings());
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  ASSERT_TRUE(writer->startWriting());
  EXPECT_EQ(writer->status(), WriterStatus::writing);
  writer->startSession(start);

  // 48 frames at 24 fps and 2 s of tone in 20 ms buffers, appended in time order.
  constexpr int64_t kBuffer = 960;
  int frameIndex = 0;
  int64_t sample = 0;
  while (frameIndex < 48 || sample < 96000) {
    const MediaTime frameTime = start + MediaTime::make(frameIndex, 24);
    const MediaTime audioTime = start + MediaTime::make(sample, 48000);
    if (frameIndex < 48 && (sample >= 96000 || frameTime <= audioTime)) {
      appendWhenReady(video, VideoSample{patternFrame(frameIndex, kWidth, kHeight), frameTime});
      ++frameIndex;
    } else {
      appendWhenReady(audio, AudioSample{toneBuffer(sample, kBuffer), 48000, 2, audioTime});
      sample += kBuffer;
    }
  }
  writer->endSession(start + MediaTime::make(2, 1));
  video->markAsFinished();
  audio->markAsFinished();
  EXPECT_FALSE(video->isReadyForMoreMediaData());
  ASSERT_EQ(finish(*writer), WriterStatus::completed);
  EXPECT_EQ(writer->status(), WriterStatus::completed);

  const Json info = probe(file);
  ASSERT_TRUE(info.is_object()) << "ffprobe gave no answer";
  EXPECT_NE(info["format"]["format_name"].get<std::string>().find("mp4"), std::string::npos);
  EXPECT_NEAR(number(info["format"]["duration"]), 2.0, 0.001);
  ASSERT_EQ(info["streams"].size(), 2u);
  std::map<std::string, Json> streams;
  for (const Json& stream : info["streams"]) streams[stream["codec_type"]] = stream;
  const Json& v = streams["video"];
  EXPECT_EQ(v["codec_name"], "h264");
  EXPECT_EQ(v["width"], kWidth);
  EXPECT_EQ(v["height"], kHeight);
  EXPECT_EQ(v["pix_fmt"], "yuv420p");
  EXPECT_EQ(v["has_b_frames"], 0);
  EXPECT_NEAR(number(v["duration"]), 2.0, 0.0001);
  const Json& a = streams["audio"];
  EXPECT_EQ(a["codec_name"], "aac");
  EXPECT_EQ(a["sample_rate"], "48000");
  EXPECT_EQ(a["channels"], 2);
  EXPECT_NEAR(number(a["duration"]), 2.0, 0.001);

  const Decoded decoded = decode(file);
  ASSERT_EQ(decoded.pictures.size(), 48u);
  for (size_t i = 0; i < decoded.pictures.size(); ++i) {
    const auto& picture = decoded.pictures[i];
    EXPECT_NEAR(picture.seconds, static_cast<double>(i) / 24.0, 0.0001);
    const int centre = squareLeft(static_cast<int>(i)) + kSquare / 2;
    EXPECT_GT(picture.at(centre, kHeight / 2), 200) << "frame " << i;
    EXPECT_LT(picture.at(centre + kSquare, kHeight / 2), 80) << "frame " << i;
    EXPECT_GT(picture.at(centre + kSquare, kHeight / 2), 16) << "frame " << i;
  }
  // 1 kHz: two zero crossings per millisecond, over the middle second.
  ASSERT_GE(decoded.left.size(), 96000u);
  int crossings = 0;
  float peak = 0;
  for (size_t i = 24000; i < 72000; ++i) {
    if ((decoded.left[i - 1] < 0) != (decoded.left[i] < 0)) ++crossings;
    peak = std::max(peak, std::fabs(decoded.left[i]));
  }
  EXPECT_NEAR(crossings, 2000, 10);
  EXPECT_NEAR(peak, 0.5, 0.05);
}

TEST_F(Mp4WriterTest, IrregularFramesLastUntilTheNextAndTheLastUntilTheEnd) {
  const auto file = dir / "static.mp4";
  auto [writer, video] = startedVideoWriter(file);
  ASSERT_TRUE(video);
  // A frame before the session and a repeated time are left out.
  EXPECT_TRUE(video->append(VideoSample{patternFrame(0, 320, 240), start - MediaTime::make(1, 24)}));
  for (const MediaTime offset : {MediaTime::make(0, 1), MediaTime::make(1, 10), MediaTime::make(1, 10),
                                 MediaTime::make(3, 2)}) {
    appendWhenReady(video, VideoSample{patternFrame(static_cast<int>(offset.seconds() * 10), 320, 240),
                                       start + offset});
  }
  writer->endSession(start + MediaTime::make(3, 1));
  video->markAsFinished();
  ASSERT_EQ(finish(*writer), WriterStatus::completed);

  const Json info = probe(file);
  ASSERT_EQ(info["streams"].size(), 1u);
  EXPECT_NEAR(number(info["streams"][0]["duration"]), 3.0, 0.0001);
  EXPECT_NEAR(number(info["format"]["duration"]), 3.0, 0.001);
  const Decoded decoded = decode(file);
  ASSERT_EQ(decoded.pictures.size(), 3u);
  EXPECT_NEAR(decoded.pictures[0].seconds, 0.0, 0.0001);
  EXPECT_NEAR(decoded.pictures[1].seconds, 0.1, 0.0001);
  EXPECT_NEAR(decoded.pictures[2].seconds, 1.5, 0.0001);
}

TEST_F(Mp4WriterTest, PlanarPicturesAreEncodedAsGivenAndLetGoOfAfterwards) {
  const auto file = dir / "planar.mp4";
  auto [writer, video] = startedVideoWriter(file);
  ASSERT_TRUE(video);
  std::vector<std::shared_ptr<I420Image>> pictures;
  for (const int index : {0, 10}) {
    const auto bgra = patternFrame(index, 320, 240);
    auto planar = std::make_shared<I420Image>(I420Image{320, 240, 320, std::vector<uint8_t>(320 * 240 * 3 / 2)});
    libyuv::ARGBToI420(bgra->bytes.data(), 320 * 4, planar->bytes.data(), 320, planar->bytes.data() + 320 * 240, 160,
                       planar->bytes.data() + 320 * 240 * 5 / 4, 160, 320, 240);
    VideoSample sample{nullptr, start + MediaTime::make(index, 20)};
    sample.planar = planar;
    appendWhenReady(video, sample);
    pictures.push_back(std::move(planar));
  }
  writer->endSession(start + MediaTime::make(1, 1));
  video->markAsFinished();
  ASSERT_EQ(finish(*writer), WriterStatus::completed);
  for (const auto& picture : pictures) EXPECT_EQ(picture.use_count(), 1) << "the encoder still holds a picture";

  const Decoded decoded = decode(file);
  ASSERT_EQ(decoded.pictures.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    const int middle = squareLeft(i * 10) + kSquare / 2;
    EXPECT_GT(decoded.pictures[i].at(middle, 120), 200) << "picture " << i;
    EXPECT_LT(decoded.pictures[i].at(middle + kSquare, 120), 80) << "picture " << i;
  }
}

TEST_F(Mp4WriterTest, AudioGapsBecomeSilenceAndOverlapsAreDropped) {
  const auto file = dir / "gaps.mp4";
  auto writer = Mp4Writer::create(file);
  VideoWriterInput* video = writer->addVideoInput(videoOutputSettings(320, 240));
  AudioWriterInput* audio = writer->addAudioInput(aacOutputSettings());
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(start);
  appendWhenReady(video, VideoSample{patternFrame(0, 320, 240), start});
  auto constant = [](int64_t frames, float value) {
    return std::make_shared<const std::vector<float>>(static_cast<size_t>(frames) * 2, value);
  };
  // 0.0–0.5 s at 0.25; a buffer stamped 0.25 s (overlapping by 0.25 s) at -0.25 that only adds
  // 0.5–0.75 s; nothing for 0.75–1.0 s; 1.0–1.5 s at 0.5; the part after the end is cut.
  appendWhenReady(audio, AudioSample{constant(24000, 0.25f), 48000, 2, start});
  appendWhenReady(audio, AudioSample{constant(24000, -0.25f), 48000, 2, start + MediaTime::make(1, 4)});
  appendWhenReady(audio, AudioSample{constant(48000, 0.5f), 48000, 2, start + MediaTime::make(1, 1)});
  writer->endSession(start + MediaTime::make(3, 2));
  video->markAsFinished();
  audio->markAsFinished();
  ASSERT_EQ(finish(*writer), WriterStatus::completed);

  const Json info = probe(file);
  for (const Json& stream : info["streams"]) EXPECT_NEAR(number(stream["duration"]), 1.5, 0.001);
  const Decoded decoded = decode(file);
  ASSERT_GE(decoded.left.size(), 72000u);
  auto mean = [&](double from, double to) {
    double sum = 0;
    for (size_t i = static_cast<size_t>(from * 48000); i < static_cast<size_t>(to * 48000); ++i) sum += decoded.left[i];
    return sum / ((to - from) * 48000);
  };
  EXPECT_NEAR(mean(0.1, 0.4), 0.25, 0.03);
  EXPECT_NEAR(mean(0.55, 0.7), -0.25, 0.03);
  EXPECT_NEAR(mean(0.8, 0.95), 0.0, 0.03);
  EXPECT_NEAR(mean(1.1, 1.4), 0.5, 0.03);
}

TEST_F(Mp4WriterTest, RefusesWhatItCannotEncode) {
  auto writer = Mp4Writer::create(dir / "refuse.mp4");
  EXPECT_EQ(writer->addVideoInput(videoOutputSettings(641, 360)), nullptr);
  EXPECT_EQ(writer->addVideoInput(videoOutputSettings(0, 360)), nullptr);
  AudioOutputSettings mono = aacOutputSettings();
  mono.channels = 1;
  EXPECT_EQ(writer->addAudioInput(mono), nullptr);
  VideoWriterInput* video = writer->addVideoInput(videoOutputSettings(320, 240));
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(writer->addVideoInput(videoOutputSettings(320, 240)), nullptr);
  EXPECT_FALSE(video->isReadyForMoreMediaData());
  ASSERT_TRUE(writer->startWriting());
  EXPECT_EQ(writer->addVideoInput(videoOutputSettings(320, 240)), nullptr);
  // Before the session starts, and with a picture of the wrong size, nothing is taken.
  EXPECT_FALSE(video->append(VideoSample{patternFrame(0, 320, 240), start}));
  writer->startSession(start);
  EXPECT_FALSE(video->append(VideoSample{patternFrame(0, 640, 360), start}));
  EXPECT_FALSE(video->append(VideoSample{nullptr, start}));
  EXPECT_TRUE(video->append(VideoSample{patternFrame(0, 320, 240), start}));
  video->markAsFinished();
  EXPECT_FALSE(video->append(VideoSample{patternFrame(1, 320, 240), start + MediaTime::make(1, 24)}));

  EXPECT_THROW(Mp4Writer::create(dir / "refuse.mp4"), std::runtime_error);
}

TEST_F(Mp4WriterTest, QueueFillsUpAndCancelStopsWithoutCompletion) {
  auto writer = Mp4Writer::create(dir / "cancel.mp4");
  VideoWriterInput* video = writer->addVideoInput(videoOutputSettings(1920, 1080));
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(start);
  const auto picture = patternFrame(0, 1920, 1080);
  int appended = 0;
  while (video->isReadyForMoreMediaData() && appended < 100) {
    ASSERT_TRUE(video->append(VideoSample{picture, start + MediaTime::make(appended, 24)}));
    ++appended;
  }
  EXPECT_LT(appended, 100) << "the queue in front of the encoder never filled";
  EXPECT_FALSE(video->append(VideoSample{picture, start + MediaTime::make(appended, 24)}));

  bool called = false;
  writer->cancelWriting();
  EXPECT_EQ(writer->status(), WriterStatus::cancelled);
  writer->finishWriting([&called](WriterStatus status) { called = status == WriterStatus::completed; });
  EXPECT_FALSE(called);
  EXPECT_TRUE(std::filesystem::exists(dir / "cancel.mp4"));
}

}  // namespace
}  // namespace rezoro::capture
