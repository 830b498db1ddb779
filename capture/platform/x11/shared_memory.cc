#include "capture/platform/x11/shared_memory.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <utility>

namespace rezoro::capture {

std::optional<SharedMemory> SharedMemory::create(size_t bytes) {
  const int id = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return std::nullopt;
  void* address = ::shmat(id, nullptr, 0);
  ::shmctl(id, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) return std::nullopt;
  return SharedMemory(id, static_cast<uint8_t*>(address));
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : id_(other.id_), address_(std::exchange(other.address_, nullptr)) {}

SharedMemory::~SharedMemory() {
  if (address_) ::shmdt(address_);
}

}  // namespace rezoro::capture
