#include "cutout/service/input_snapshot.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

// Copies up to `size` bytes from `from` to `to` by the kernel where it can, by reads and writes
// where it cannot. Returns the bytes copied (fewer when the file shrank), or -1 with errno set.
int64_t copyFile(int from, int to, int64_t size) {
  int64_t copied = 0;
  bool inKernel = true;
  std::vector<char> buffer;
  while (copied < size) {
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(size - copied, 1 << 20));
    ssize_t n;
    if (inKernel) {
      n = ::sendfile(to, from, nullptr, wanted);
      if (n < 0 && (errno == EINVAL || errno == ENOSYS) && copied == 0) {
        inKernel = false;
        continue;
      }
    } else {
      buffer.resize(wanted);
      n = ::read(from, buffer.data(), wanted);
      for (ssize_t written = 0; n > 0 && written < n;) {
        const ssize_t w = ::write(to, buffer.data() + written, static_cast<size_t>(n - written));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        written += w;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    copied += n;
  }
  return copied;
}

}  // namespace

InputSnapshot InputSnapshot::take(const std::filesystem::path& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) throw CutoutFailure::invalidInput;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) throw CutoutFailure::invalidInput;
  if (status.st_size > maximumInputBytes) throw CutoutFailure::imageTooLarge;

  UniqueFd memory(::memfd_create("rezoro-cutout-input", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memory) throw CutoutFailure::nativeFailure;
  errno = 0;
  const int64_t size = copyFile(file.get(), memory.get(), status.st_size);
  if (size < 0) {
    // Running out of memory is ours; any other error is the input's.
    if (errno == ENOMEM || errno == ENOSPC || errno == EFBIG) throw CutoutFailure::nativeFailure;
    throw CutoutFailure::invalidInput;
  }
  if (::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    throw CutoutFailure::nativeFailure;
  }
  InputSnapshot snapshot(std::move(memory), size);
  if (::access(snapshot.path().c_str(), R_OK) != 0) throw CutoutFailure::nativeFailure;
  return snapshot;
}

std::filesystem::path InputSnapshot::path() const { return "/proc/self/fd/" + std::to_string(memory_.get()); }

}  // namespace rezoro::cutout
