#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rezoro::capture {

// A System V shared memory segment of ours, marked for removal as soon as it is attached, so it
// disappears with its last user even if the process dies. The X server reads screen pictures into
// it (MIT-SHM).
class SharedMemory {
 public:
  // None when the segment cannot be made or attached (errno says why).
  static std::optional<SharedMemory> create(size_t bytes);
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&&) = delete;
  ~SharedMemory();

  int id() const { return id_; }
  uint8_t* data() const { return address_; }

 private:
  SharedMemory(int id, uint8_t* address) : id_(id), address_(address) {}
  int id_;
  uint8_t* address_;
};

}  // namespace rezoro::capture
