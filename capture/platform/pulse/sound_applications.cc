#include "capture/platform/pulse/sound_applications.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <memory>

#include "capture/platform/pulse/excluded_playback.h"
#include "capture/samples/media_time.h"

namespace rezoro::capture {
namespace {

struct MainloopFree {
  void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextRelease {
  void operator()(pa_context* context) const {
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};
struct OperationRelease {
  void operator()(pa_operation* operation) const {
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
};

}  // namespace

std::vector<ShareableApplication> soundApplications(double timeoutSeconds) {
  std::unique_ptr<pa_mainloop, MainloopFree> loop(pa_mainloop_new());
  if (!loop) return {};
  std::unique_ptr<pa_context, ContextRelease> context(
      pa_context_new(pa_mainloop_get_api(loop.get()), "rezoro-capture"));
  if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return {};

  const double deadline = hostTimeSeconds() + timeoutSeconds;
  // Runs the loop until `done` or the deadline; false at the deadline or when the server is lost.
  auto runUntil = [&](auto done) {
    while (!done()) {
      const double remaining = deadline - hostTimeSeconds();
      if (remaining <= 0 || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get()))) return false;
      if (pa_mainloop_prepare(loop.get(), static_cast<int>(remaining * 1e6)) < 0 || pa_mainloop_poll(loop.get()) < 0 ||
          pa_mainloop_dispatch(loop.get()) < 0) {
        return false;
      }
    }
    return true;
  };
  if (!runUntil([&] { return pa_context_get_state(context.get()) == PA_CONTEXT_READY; })) return {};

  struct Listing {
    std::vector<ShareableApplication> applications;
    bool done = false;
  } listing;
  std::unique_ptr<pa_operation, OperationRelease> operation(pa_context_get_sink_input_info_list(
      context.get(),
      [](pa_context*, const pa_sink_input_info* info, int last, void* opaque) {
        auto* listing = static_cast<Listing*>(opaque);
        if (last != 0) {
          listing->done = true;
          return;
        }
        const std::optional<pid_t> pid =
            processIdProperty(info ? pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID) : nullptr);
        if (!pid) return;
        const char* binary = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
        const char* name = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
        try {
          addApplications(listing->applications, {ShareableApplication{*pid,
                                                                       binary ? binary : name ? name : ""}});
        } catch (...) {  // must not unwind through the sound library; the listing is short by one
        }
      },
      &listing));
  if (!operation || !runUntil([&] { return listing.done; })) return {};
  return listing.applications;
}

void addApplications(std::vector<ShareableApplication>& applications, const std::vector<ShareableApplication>& more) {
  for (const ShareableApplication& application : more) {
    const bool listed = std::any_of(applications.begin(), applications.end(), [&](const ShareableApplication& known) {
      return known.processID == application.processID;
    });
    if (!listed) applications.push_back(application);
  }
}

}  // namespace rezoro::capture
