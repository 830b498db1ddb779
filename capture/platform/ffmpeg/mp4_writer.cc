#include "capture/platform/ffmpeg/mp4_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}
#include <libyuv/convert.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "capture/samples/audio_grid.h"

namespace rezoro::capture {
namespace {

// Room in front of the encoder. Four frames absorb a slow frame or two; audio buffers are small
// and arrive every ~20 ms, so a second's worth costs little.
constexpr int kVideoQueueCapacity = 4;
constexpr int kAudioQueueCapacity = 50;
constexpr int32_t kVideoTimescale = 90000;
constexpr int kAacFrameSamples = 1024;
// Samples kept back from the encoder so that the session end, which is only known at the finish,
// can still trim audio that arrived for the time after it.
constexpr int64_t kAudioHoldback = audioSampleRate;
// The largest silence a single late buffer may ask for; the session is never longer than this.
constexpr int64_t kLargestAudioGap = int64_t{600} * audioSampleRate;

struct FormatContextFree {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
struct CodecContextFree {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

struct VideoJob {
  VideoSample sample;
};
struct AudioJob {
  AudioSample sample;
};
struct EndSessionJob {
  MediaTime time;
};
struct FinishJob {
  std::function<void(WriterStatus)> completion;
};
using Job = std::variant<VideoJob, AudioJob, EndSessionJob, FinishJob>;

}  // namespace

std::string_view x264PresetFor(int64_t width, int64_t height) {
  const int64_t pixels = width * height;
  if (pixels <= int64_t{1920} * 1200) return "veryfast";
  if (pixels <= int64_t{2560} * 1600) return "superfast";
  return "ultrafast";
}

struct Mp4Writer::Impl {
  template <typename Sample>
  class Input final : public MediaWriterInput<Sample> {
   public:
    Input(Impl& owner, bool video) : owner_(owner), video_(video) {}
    bool isReadyForMoreMediaData() const override { return owner_.isReady(video_); }
    bool append(const Sample& sample) override { return owner_.append(sample); }
    void markAsFinished() override { owner_.markAsFinished(video_); }

   private:
    Impl& owner_;
    bool video_;
  };

  std::filesystem::path path;
  std::string preset;
  FormatContextPtr format;

  std::optional<VideoOutputSettings> videoSettings;
  std::optional<AudioOutputSettings> audioSettings;
  std::unique_ptr<Input<VideoSample>> videoInput;
  std::unique_ptr<Input<AudioSample>> audioInput;

  // Written before the worker starts, then used by the worker alone.
  CodecContextPtr videoCodec;
  CodecContextPtr audioCodec;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  FramePtr videoFrame;
  PacketPtr packet;

  // Shared between the caller's thread and the worker, under `mutex`.
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  int pendingVideo = 0;
  int pendingAudio = 0;
  bool videoFinished = false;
  bool audioFinished = false;
  bool finishQueued = false;
  bool cancelled = false;
  std::optional<MediaTime> sessionStart;
  std::atomic<WriterStatus> currentStatus{WriterStatus::unknown};
  std::thread worker;

  // The worker's own state.
  std::optional<MediaTime> sessionEnd;
  int64_t lastVideoPts = -1;
  PacketPtr heldVideo;
  std::vector<float> fifo;  // interleaved stereo samples not yet encoded
  size_t fifoRead = 0;      // floats of `fifo` already consumed
  int64_t audioEncoded = 0;  // samples handed to the encoder = sample index of the FIFO's front

  ~Impl() {
    if (worker.joinable()) {
      // A completion that drops the writer runs on the worker itself; it cannot wait for itself.
      if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();
      } else {
        cancel();
      }
    }
  }

  bool isReady(bool video) const {
    std::lock_guard lock(mutex);
    return readyLocked(video);
  }

  bool readyLocked(bool video) const {
    if (currentStatus.load() != WriterStatus::writing || finishQueued) return false;
    return video ? !videoFinished && pendingVideo < kVideoQueueCapacity
                 : !audioFinished && pendingAudio < kAudioQueueCapacity;
  }

  bool fits(const VideoSample& sample) const {
    if (!sample.presentationTime.isValid() || !videoSettings) return false;
    if (const I420Image* planar = sample.planar.get()) {
      return planar->width == videoSettings->width && planar->height == videoSettings->height &&
             planar->bytesPerRow >= static_cast<size_t>(planar->width) && planar->bytes.size() >= planar->size();
    }
    const BgraImage* image = sample.image.get();
    return image != nullptr && image->width == videoSettings->width && image->height == videoSettings->height &&
           image->bytesPerRow >= static_cast<size_t>(image->width) * 4 &&
           image->bytes.size() >= image->bytesPerRow * static_cast<size_t>(image->height);
  }

  bool append(const VideoSample& sample) {
    if (!fits(sample)) return false;
    std::lock_guard lock(mutex);
    if (!sessionStart || !readyLocked(true)) return false;
    jobs.push_back(VideoJob{sample});
    ++pendingVideo;
    wake.notify_one();
    return true;
  }

  bool append(const AudioSample& sample) {
    if (!sample.samples || !sample.presentationTime.isValid() || !audioSettings ||
        sample.sampleRate != audioSettings->sampleRate ||
        sample.channels != audioSettings->channels ||
        sample.samples->size() % static_cast<size_t>(sample.channels) != 0) {
      return false;
    }
    std::lock_guard lock(mutex);
    if (!sessionStart || !readyLocked(false)) return false;
    jobs.push_back(AudioJob{sample});
    ++pendingAudio;
    wake.notify_one();
    return true;
  }

  void markAsFinished(bool video) {
    std::lock_guard lock(mutex);
    (video ? videoFinished : audioFinished) = true;
  }

  void cancel() {
    {
      std::lock_guard lock(mutex);
      cancelled = true;
      jobs.clear();
      pendingVideo = pendingAudio = 0;
      WriterStatus status = currentStatus.load();
      if (status == WriterStatus::unknown || status == WriterStatus::writing) {
        currentStatus = WriterStatus::cancelled;
      }
    }
    wake.notify_one();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
  }

  // ---- Set-up, on the caller's thread ----

  bool openVideo() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return false;
    videoCodec.reset(avcodec_alloc_context3(codec));
    if (!videoCodec) return false;
    AVCodecContext* c = videoCodec.get();
    c->width = static_cast<int>(videoSettings->width);
    c->height = static_cast<int>(videoSettings->height);
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, kVideoTimescale};
    c->framerate = AVRational{videoSettings->expectedFrameRate, 1};
    c->bit_rate = videoSettings->averageBitRate;
    c->gop_size = videoSettings->maxKeyFrameInterval;
    c->max_b_frames = videoSettings->allowFrameReordering ? 2 : 0;
    // libyuv's ARGBToI420 produces BT.601 limited-range samples; say so in the stream.
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    if (format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (preset.empty()) preset = x264PresetFor(c->width, c->height);
    av_dict_set(&options, "preset", preset.c_str(), 0);
    const int opened = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (opened < 0) return false;

    videoStream = avformat_new_stream(format.get(), nullptr);
    if (videoStream == nullptr || avcodec_parameters_from_context(videoStream->codecpar, c) < 0) {
      return false;
    }
    videoStream->time_base = c->time_base;
    videoStream->avg_frame_rate = c->framerate;

    videoFrame.reset(av_frame_alloc());
    if (!videoFrame) return false;
    videoFrame->format = c->pix_fmt;
    videoFrame->width = c->width;
    videoFrame->height = c->height;
    videoFrame->color_range = c->color_range;
    videoFrame->colorspace = c->colorspace;
    return av_frame_get_buffer(videoFrame.get(), 0) >= 0;
  }

  bool openAudio() {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return false;
    audioCodec.reset(avcodec_alloc_context3(codec));
    if (!audioCodec) return false;
    AVCodecContext* c = audioCodec.get();
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = audioSettings->sampleRate;
    av_channel_layout_default(&c->ch_layout, audioSettings->channels);
    c->bit_rate = audioSettings->bitRate;
    c->time_base = AVRational{1, audioSettings->sampleRate};
    if (format->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(c, codec, nullptr) < 0 || c->frame_size != kAacFrameSamples) return false;
    audioStream = avformat_new_stream(format.get(), nullptr);
    if (audioStream == nullptr || avcodec_parameters_from_context(audioStream->codecpar, c) < 0) {
      return false;
    }
    audioStream->time_base = c->time_base;
    return true;
  }

  bool start() {
    if (!videoSettings && !audioSettings) return false;
    packet.reset(av_packet_alloc());
    if (!packet) return false;
    if (videoSettings && !openVideo()) return false;
    if (audioSettings && !openAudio()) return false;
    if (avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return false;
    return avformat_write_header(format.get(), nullptr) >= 0;
  }

  // ---- The worker ----

  // An allocation failure in a step fails the file, not the process.
  template <typename Step>
  static bool succeeded(Step&& step) {
    try {
      return step();
    } catch (...) {
      return false;
    }
  }

  void run() {
    for (;;) {
      Job job;
      std::optional<MediaTime> start;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return cancelled || !jobs.empty(); });
        if (cancelled) return;
        job = std::move(jobs.front());
        jobs.pop_front();
        start = sessionStart;
      }
      const bool failed = currentStatus.load() == WriterStatus::failed;
      if (auto* video = std::get_if<VideoJob>(&job)) {
        if (!failed && !succeeded([&] { return encodeVideo(video->sample, *start); })) fail();
        std::lock_guard lock(mutex);
        --pendingVideo;
      } else if (auto* audio = std::get_if<AudioJob>(&job)) {
        if (!failed && !succeeded([&] { return placeAudio(audio->sample, *start); })) fail();
        std::lock_guard lock(mutex);
        --pendingAudio;
      } else if (auto* end = std::get_if<EndSessionJob>(&job)) {
        sessionEnd = end->time;
      } else {
        auto& finish = std::get<FinishJob>(job);
        WriterStatus outcome = WriterStatus::failed;
        if (!failed && start && succeeded([&] { return complete(*start); })) outcome = WriterStatus::completed;
        {
          std::lock_guard lock(mutex);
          if (cancelled) return;
          currentStatus = outcome;
        }
        if (format->pb != nullptr) avio_closep(&format->pb);
        if (finish.completion) finish.completion(outcome);
        return;
      }
    }
  }

  void fail() {
    WriterStatus expected = WriterStatus::writing;
    currentStatus.compare_exchange_strong(expected, WriterStatus::failed);
  }

  std::optional<int64_t> endTicks(const MediaTime& start, int32_t timescale) const {
    if (!sessionEnd) return std::nullopt;
    const MediaTime length = (*sessionEnd - start).convertedTo(timescale);
    if (!length.isValid()) return std::nullopt;
    return std::max<int64_t>(length.value, 0);
  }

  bool encodeVideo(const VideoSample& sample, const MediaTime& start) {
    const MediaTime offset = (sample.presentationTime - start).convertedTo(kVideoTimescale);
    if (!offset.isValid() || offset.value < 0 || offset.value <= lastVideoPts) return true;
    const auto end = endTicks(start, kVideoTimescale);
    if (end && offset.value >= *end) return true;

    FramePtr wrapped;
    AVFrame* frame = videoFrame.get();
    if (sample.planar) {
      wrapped = planarFrame(sample.planar);
      if (!wrapped) return false;
      frame = wrapped.get();
    } else {
      if (av_frame_make_writable(frame) < 0) return false;
      const BgraImage& image = *sample.image;
      // libyuv's "ARGB" is B, G, R, A in memory.
      if (libyuv::ARGBToI420(image.bytes.data(), static_cast<int>(image.bytesPerRow), frame->data[0],
                             frame->linesize[0], frame->data[1], frame->linesize[1], frame->data[2],
                             frame->linesize[2], image.width, image.height) != 0) {
        return false;
      }
    }
    frame->pts = offset.value;
    lastVideoPts = offset.value;
    if (avcodec_send_frame(videoCodec.get(), frame) < 0) return false;
    return drainVideo(start);
  }

  // A frame that lends the encoder the picture's own planes, keeping the picture until the encoder
  // lets go of them (x264 copies its input at once), instead of copying them first.
  FramePtr planarFrame(const std::shared_ptr<const I420Image>& picture) {
    using Keeper = std::shared_ptr<const I420Image>;
    FramePtr frame(av_frame_alloc());
    if (!frame) return nullptr;
    auto keeper = std::make_unique<Keeper>(picture);
    frame->buf[0] = av_buffer_create(
        const_cast<uint8_t*>(picture->bytes.data()), picture->bytes.size(),
        [](void* kept, uint8_t*) { std::unique_ptr<Keeper>(static_cast<Keeper*>(kept)); }, keeper.get(),
        AV_BUFFER_FLAG_READONLY);
    if (frame->buf[0] == nullptr) return nullptr;
    keeper.release();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = picture->width;
    frame->height = picture->height;
    frame->color_range = videoFrame->color_range;
    frame->colorspace = videoFrame->colorspace;
    for (int plane = 0; plane < 3; ++plane) {
      frame->data[plane] = const_cast<uint8_t*>(picture->plane(plane));
      frame->linesize[plane] = plane == 0 ? static_cast<int>(picture->bytesPerRow) : picture->chromaWidth();
    }
    return frame;
  }

  bool drainVideo(const MediaTime& start) {
    for (;;) {
      const int received = avcodec_receive_packet(videoCodec.get(), packet.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
      if (received < 0) return false;
      if (!takeVideoPacket(start)) return false;
    }
  }

  // Holds each video packet until the next one (or the session end) tells how long it lasts.
  bool takeVideoPacket(const MediaTime& start) {
    PacketPtr next(av_packet_alloc());
    if (!next) return false;
    av_packet_move_ref(next.get(), packet.get());
    if (next->dts == AV_NOPTS_VALUE) next->dts = next->pts;
    const auto end = endTicks(start, kVideoTimescale);
    if (end && next->pts >= *end) return true;
    if (heldVideo) {
      heldVideo->duration = next->pts - heldVideo->pts;
      if (!writePacket(heldVideo.get(), videoCodec.get(), videoStream)) return false;
    }
    heldVideo = std::move(next);
    return true;
  }

  bool writePacket(AVPacket* out, AVCodecContext* codec, AVStream* stream) {
    out->stream_index = stream->index;
    av_packet_rescale_ts(out, codec->time_base, stream->time_base);
    return av_interleaved_write_frame(format.get(), out) >= 0;
  }

  int64_t fifoFrames() const {
    return static_cast<int64_t>((fifo.size() - fifoRead) / audioChannelCount);
  }

  bool placeAudio(const AudioSample& sample, const MediaTime& start) {
    const int64_t fifoEnd = audioEncoded + fifoFrames();
    const auto place = placeOnAudioGrid(sample.presentationTime, start, fifoEnd, sample.frameCount(),
                                        std::numeric_limits<int64_t>::max());
    if (!place || place->frame - fifoEnd > kLargestAudioGap || place->count == 0) return true;
    for (int64_t silent = place->silence; silent > 0;) {
      const int64_t chunk = std::min<int64_t>(silent, audioSampleRate);
      fifo.insert(fifo.end(), static_cast<size_t>(chunk * audioChannelCount), 0.0f);
      silent -= chunk;
      if (!encodeAudio(kAudioHoldback)) return false;
    }
    const float* first = sample.samples->data() + place->skip * audioChannelCount;
    fifo.insert(fifo.end(), first, first + place->count * audioChannelCount);
    return encodeAudio(kAudioHoldback);
  }

  // Encodes whole frames from the FIFO while more than `keep` samples would remain; with
  // `partialLast` the remainder is sent as a short final frame.
  bool encodeAudio(int64_t keep, bool partialLast = false) {
    while (fifoFrames() - kAacFrameSamples >= keep ||
           (partialLast && fifoFrames() > 0)) {
      const int count = static_cast<int>(std::min<int64_t>(fifoFrames(), kAacFrameSamples));
      FramePtr frame(av_frame_alloc());
      if (!frame) return false;
      frame->format = AV_SAMPLE_FMT_FLTP;
      frame->nb_samples = count;
      frame->sample_rate = audioSampleRate;
      if (av_channel_layout_copy(&frame->ch_layout, &audioCodec->ch_layout) < 0 ||
          av_frame_get_buffer(frame.get(), 0) < 0) {
        return false;
      }
      const float* source = fifo.data() + fifoRead;
      auto* left = reinterpret_cast<float*>(frame->data[0]);
      auto* right = reinterpret_cast<float*>(frame->data[1]);
      for (int i = 0; i < count; ++i) {
        left[i] = source[2 * i];
        right[i] = source[2 * i + 1];
      }
      fifoRead += static_cast<size_t>(count) * audioChannelCount;
      frame->pts = audioEncoded;
      audioEncoded += count;
      if (avcodec_send_frame(audioCodec.get(), frame.get()) < 0) return false;
      if (!drainAudio()) return false;
    }
    if (fifoRead > fifo.size() / 2) {
      fifo.erase(fifo.begin(), fifo.begin() + static_cast<std::ptrdiff_t>(fifoRead));
      fifoRead = 0;
    }
    return true;
  }

  bool drainAudio() {
    for (;;) {
      const int received = avcodec_receive_packet(audioCodec.get(), packet.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
      if (received < 0) return false;
      if (!writePacket(packet.get(), audioCodec.get(), audioStream)) return false;
    }
  }

  // Flushes both encoders with the session end applied and writes the trailer.
  bool complete(const MediaTime& start) {
    if (videoCodec) {
      if (avcodec_send_frame(videoCodec.get(), nullptr) < 0 || !drainVideo(start)) return false;
      if (heldVideo) {
        const auto end = endTicks(start, kVideoTimescale);
        const int64_t oneFrame = kVideoTimescale / std::max(videoSettings->expectedFrameRate, 1);
        heldVideo->duration = std::max<int64_t>(end ? *end - heldVideo->pts : oneFrame, 1);
        if (!writePacket(heldVideo.get(), videoCodec.get(), videoStream)) return false;
        heldVideo.reset();
      }
    }
    if (audioCodec) {
      if (const auto end = endTicks(start, audioSampleRate)) {
        const int64_t wanted = std::max<int64_t>(*end - audioEncoded, 0);
        const int64_t present = fifoFrames();
        if (present > wanted) {
          fifo.resize(fifo.size() - static_cast<size_t>((present - wanted) * audioChannelCount));
        } else {
          fifo.insert(fifo.end(), static_cast<size_t>((wanted - present) * audioChannelCount),
                      0.0f);
        }
      }
      if (!encodeAudio(0, /*partialLast=*/true)) return false;
      if (avcodec_send_frame(audioCodec.get(), nullptr) < 0 || !drainAudio()) return false;
    }
    return av_write_trailer(format.get()) >= 0;
  }
};

std::unique_ptr<Mp4Writer> Mp4Writer::create(const std::filesystem::path& path,
                                             std::string_view preset) {
  // The parent reads only our JSON; libav and x264 (which logs through libav) stay silent.
  av_log_set_level(AV_LOG_QUIET);
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    throw std::runtime_error("a file already exists where the movie is to be written");
  }
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()) < 0 || raw == nullptr) {
    throw std::runtime_error("the MPEG-4 muxer is not available");
  }
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->preset = preset;
  impl->format.reset(raw);
  return std::unique_ptr<Mp4Writer>(new Mp4Writer(std::move(impl)));
}

Mp4Writer::Mp4Writer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Mp4Writer::~Mp4Writer() = default;

VideoWriterInput* Mp4Writer::addVideoInput(const VideoOutputSettings& settings) {
  if (impl_->currentStatus.load() != WriterStatus::unknown || impl_->videoSettings) return nullptr;
  // 4:2:0 needs even sizes; x264 refuses anything beyond 16384 on a side.
  if (settings.width < 2 || settings.height < 2 || settings.width % 2 != 0 ||
      settings.height % 2 != 0 || settings.width > 16384 || settings.height > 16384 ||
      settings.averageBitRate < 1 || settings.expectedFrameRate < 1 ||
      settings.maxKeyFrameInterval < 1) {
    return nullptr;
  }
  impl_->videoSettings = settings;
  impl_->videoInput = std::make_unique<Impl::Input<VideoSample>>(*impl_, true);
  return impl_->videoInput.get();
}

AudioWriterInput* Mp4Writer::addAudioInput(const AudioOutputSettings& settings) {
  if (impl_->currentStatus.load() != WriterStatus::unknown || impl_->audioSettings) return nullptr;
  if (settings.sampleRate != audioSampleRate || settings.channels != audioChannelCount ||
      settings.bitRate < 1) {
    return nullptr;
  }
  impl_->audioSettings = settings;
  impl_->audioInput = std::make_unique<Impl::Input<AudioSample>>(*impl_, false);
  return impl_->audioInput.get();
}

bool Mp4Writer::startWriting() {
  if (impl_->currentStatus.load() != WriterStatus::unknown) return false;
  if (!impl_->start()) {
    impl_->currentStatus = WriterStatus::failed;
    return false;
  }
  impl_->currentStatus = WriterStatus::writing;
  impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
  return true;
}

WriterStatus Mp4Writer::status() const { return impl_->currentStatus.load(); }

void Mp4Writer::startSession(const MediaTime& sourceTime) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->sessionStart && sourceTime.isValid()) impl_->sessionStart = sourceTime;
}

void Mp4Writer::endSession(const MediaTime& sourceTime) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->currentStatus.load() != WriterStatus::writing || !sourceTime.isValid()) return;
  impl_->jobs.push_back(EndSessionJob{sourceTime});
  impl_->wake.notify_one();
}

void Mp4Writer::finishWriting(std::function<void(WriterStatus)> completion) {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->worker.joinable() && !impl_->finishQueued && !impl_->cancelled) {
      impl_->finishQueued = true;
      impl_->jobs.push_back(FinishJob{std::move(completion)});
      impl_->wake.notify_one();
      return;
    }
  }
  // Never started (or finished already): there is nothing to complete.
  if (completion) completion(WriterStatus::failed);
}

void Mp4Writer::cancelWriting() { impl_->cancel(); }

}  // namespace rezoro::capture
