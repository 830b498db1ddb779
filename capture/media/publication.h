#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>

#include "common/json_line.h"

namespace rezoro::capture {

// How a hard link is made: ::link, or a stand-in in tests.
using LinkFunction = int (*)(const char* from, const char* to);

// Makes the finished file `temporary` appear at `destination` in one step, never replacing anything
// already there: a hard link, after which the temporary name is removed (a failure to remove it is
// ignored). On a file system without hard links (the link fails with EPERM or EOPNOTSUPP: vfat,
// exFAT, many network mounts) a rename that refuses an existing destination does the same. Returns
// true when `destination` holds the file; otherwise nothing has changed.
bool publishWithoutReplacing(const std::filesystem::path& temporary,
                             const std::filesystem::path& destination, LinkFunction link = ::link);

}  // namespace rezoro::capture

namespace rezoro::capture {

// Settles, once and from any thread, whether a finished recording is published or given up (its
// time ran out): a recording that was given up is never published afterwards, and one that was
// published is never reported as given up.
class PublicationClaim {
 public:
  // Before publishing: false once the recording has been given up.
  bool claim();
  // Publishing failed: the recording is open again, unless it was given up meanwhile.
  void unclaim();
  // After publishing, with the result that reports it: false when the recording was given up
  // while the file was being published; the caller then takes the file back.
  bool confirm(Json published);
  // Gives the recording up, unless it has been published: then returns the result reporting it.
  std::optional<Json> giveUp();

 private:
  enum class State { open, publishing, published, givenUp };
  std::atomic<State> state_{State::open};
  Json published_;  // written before `published` is entered, read only after it was seen
};

}  // namespace rezoro::capture
