#include "capture/media/publication.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace rezoro::capture {

bool publishWithoutReplacing(const std::filesystem::path& temporary,
                             const std::filesystem::path& destination, LinkFunction link) {
  if (link(temporary.c_str(), destination.c_str()) == 0) {
    ::unlink(temporary.c_str());
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return false;
  return ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace rezoro::capture

namespace rezoro::capture {

bool PublicationClaim::claim() {
  State expected = State::open;
  return state_.compare_exchange_strong(expected, State::publishing);
}

void PublicationClaim::unclaim() {
  State expected = State::publishing;
  state_.compare_exchange_strong(expected, State::open);
}

bool PublicationClaim::confirm(Json published) {
  published_ = std::move(published);
  State expected = State::publishing;
  return state_.compare_exchange_strong(expected, State::published);
}

std::optional<Json> PublicationClaim::giveUp() {
  State seen = state_.load();
  while (seen != State::published && !state_.compare_exchange_weak(seen, State::givenUp)) {
  }
  if (seen == State::published) return published_;
  return std::nullopt;
}

}  // namespace rezoro::capture
