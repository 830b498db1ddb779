#pragma once

#include "capture/platform/capture_stream.h"
#include "capture/runtime/serial_queue.h"

namespace rezoro::capture {

// How long a question to the X server may take before the display counts as unreachable: a frozen
// server accepts connections and then never answers.
inline constexpr double x11AnswerSeconds = 3.0;

// The screen-capture services of an X11 desktop ($DISPLAY) with PulseAudio for the system audio.
// Shareable content is read on a worker thread of its own and answered there.
class X11ScreenCaptureService : public ScreenCaptureService {
 public:
  X11ScreenCaptureService() = default;
  ~X11ScreenCaptureService() override = default;  // waits for a content request under way

  // Both give up after x11AnswerSeconds. The check then answers true: a display that does not
  // answer has not refused, and the recording ends as one that could not start. The ID is then 0,
  // as for a display that cannot be reached.
  bool preflightScreenCaptureAccess() override;
  uint32_t mainDisplayID() override;  // 0 when the display cannot be reached
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override;

 private:
  SerialQueue worker_;
};

}  // namespace rezoro::capture
