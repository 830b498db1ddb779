// Sustained throughput and CPU cost of the MPEG-4 writer (H.264 + AAC) on moving screen content.
//
//   capture_writer_bench [seconds of video per size, default 4] [preset ...]
//
// For each size it feeds frames as fast as the writer takes them (waiting while the input is not
// ready) together with 48 kHz stereo audio, finishes the file, and prints frames per second over
// the whole run and the process CPU time (user + system) per frame, for a moving page and for a
// still page where only a small window changes (what the encoder alone costs on a quiet screen). Without presets it uses the
// writer's own choice per size; with presets it compares them.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/media/media_writer.h"
#include "capture/platform/ffmpeg/mp4_writer.h"

namespace {

using namespace rezoro::capture;

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Screen-like content: a page of small high-contrast glyph blocks that scrolls up 6 rows per
// frame, with a coloured panel sliding across it. Eight frames are made ahead and cycled.
// `mostlyStill`: the page stands still and only a 320x240 window in the middle changes, a bar
// sweeping across it.
std::vector<std::shared_ptr<const BgraImage>> movingFrames(int width, int height, bool mostlyStill) {
  std::mt19937 random(7);
  const int pageHeight = height + 8 * 6;
  std::vector<uint8_t> page(static_cast<size_t>(width) * pageHeight);
  for (int y = 0; y < pageHeight; y += 12) {
    for (int x = 0; x < width; x += 8) {
      const bool glyph = random() % 3 != 0 && (x / 400 + y / 12) % 5 != 0;
      for (int dy = 2; dy < 10 && y + dy < pageHeight; ++dy) {
        for (int dx = 1; dx < 7 && x + dx < width; ++dx) {
          page[static_cast<size_t>(y + dy) * width + x + dx] = glyph && (random() & 1) ? 20 : 235;
        }
      }
      if (!glyph) {
        for (int dy = 0; dy < 12 && y + dy < pageHeight; ++dy) {
          for (int dx = 0; dx < 8 && x + dx < width; ++dx) page[static_cast<size_t>(y + dy) * width + x + dx] = 235;
        }
      }
    }
  }
  std::vector<std::shared_ptr<const BgraImage>> frames;
  for (int index = 0; index < 8; ++index) {
    auto image = std::make_shared<BgraImage>(BgraImage::make(width, height));
    const int panelLeft = mostlyStill ? width / 2 + index * 40 : (index * width / 16) % width;
    const int panelWidth = mostlyStill ? 40 : width / 4;
    const int panelTop = mostlyStill ? height / 2 : height / 4;
    const int panelBottom = mostlyStill ? height / 2 + 240 : height * 3 / 4;
    for (int y = 0; y < height; ++y) {
      uint8_t* row = image->row(y);
      const uint8_t* source = page.data() + static_cast<size_t>(y + (mostlyStill ? 0 : index * 6)) * width;
      for (int x = 0; x < width; ++x) {
        const bool panel = x >= panelLeft && x < panelLeft + panelWidth && y > panelTop && y < panelBottom;
        row[4 * x + 0] = panel ? static_cast<uint8_t>(180 + (x - panelLeft) % 60) : source[x];
        row[4 * x + 1] = panel ? static_cast<uint8_t>(90 + y % 100) : source[x];
        row[4 * x + 2] = panel ? 40 : source[x];
        row[4 * x + 3] = 255;
      }
    }
    frames.push_back(std::move(image));
  }
  return frames;
}

template <typename Sample>
void appendWhenReady(MediaWriterInput<Sample>* input, const Sample& sample) {
  while (!input->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::microseconds(500));
  input->append(sample);
}

void measure(int width, int height, int seconds, const std::string& preset, bool mostlyStill) {
  const auto frames = movingFrames(width, height, mostlyStill);
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("capture_writer_bench-" + std::to_string(::getpid()) + ".mp4");
  std::filesystem::remove(file);
  auto writer = Mp4Writer::create(file, preset);
  VideoWriterInput* video = writer->addVideoInput(videoOutputSettings(width, height));
  AudioWriterInput* audio = writer->addAudioInput(aacOutputSettings());
  if (video == nullptr || audio == nullptr || !writer->startWriting()) {
    std::printf("%dx%d: the writer could not start\n", width, height);
    return;
  }
  const MediaTime start = MediaTime::make(1000, 1);
  writer->startSession(start);
  const int total = seconds * 24;
  auto tone = std::make_shared<std::vector<float>>(2 * 2000);
  for (size_t i = 0; i < tone->size(); ++i) (*tone)[i] = 0.3f * std::sin(static_cast<float>(i / 2) * 0.13f);

  const double cpuBefore = cpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  for (int index = 0; index < total; ++index) {
    appendWhenReady(video, VideoSample{frames[index % frames.size()], start + MediaTime::make(index, 24)});
    // 2000 audio frames per video frame = 48000 per second.
    appendWhenReady(audio, AudioSample{tone, 48000, 2, start + MediaTime::make(int64_t{index} * 2000, 48000)});
  }
  writer->endSession(start + MediaTime::make(total, 24));
  video->markAsFinished();
  audio->markAsFinished();
  std::promise<WriterStatus> done;
  writer->finishWriting([&done](WriterStatus status) { done.set_value(status); });
  const WriterStatus status = done.get_future().get();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  const double cpu = cpuSeconds() - cpuBefore;
  const auto bytes = std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0;
  std::filesystem::remove(file);

  const std::string used = preset.empty() ? std::string(x264PresetFor(width, height)) : preset;
  std::printf("%4dx%-4d %-12s %-10s %s  %6.1f frames/s sustained   %6.1f ms CPU/frame   %4.2f cores at 24 fps   %5.2f Mbit/s\n",
              width, height, mostlyStill ? "mostly still" : "moving", used.c_str(), status == WriterStatus::completed ? "ok    " : "FAILED",
              total / wall, 1000.0 * cpu / total, cpu / total * 24.0,
              static_cast<double>(bytes) * 8 / 1e6 / (total / 24.0));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
  std::vector<std::string> presets;
  for (int i = 2; i < argc; ++i) presets.emplace_back(argv[i]);
  if (presets.empty()) presets.emplace_back();
  std::printf("MPEG-4 writer, %d s of 24 fps video with 48 kHz stereo AAC per run, %ld cores online\n", seconds,
              ::sysconf(_SC_NPROCESSORS_ONLN));
  for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
    for (const auto& preset : presets) {
      for (const bool mostlyStill : {false, true}) measure(width, height, seconds, preset, mostlyStill);
    }
  }
  return 0;
}
