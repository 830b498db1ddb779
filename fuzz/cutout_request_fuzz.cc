// The cut-out service's input side: the same bytes are both the lines on its standard input and
// the content of request-1.json. Every line is refused or served, every request file read or
// refused, and the service returns at the end of input; nothing may crash, hang or leak.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "common/unique_fd.h"
#include "cutout/service/service.h"

namespace {

namespace fs = std::filesystem;

// One service directory for the whole run, emptied of answers after each input.
const fs::path& serviceDirectory() {
  static const fs::path directory = [] {
    std::string pattern = (fs::temp_directory_path() / "rezoro-fuzz-request-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) abort();
    return fs::path(pattern);
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Whatever the pipe holds at once: the writer closes before the service reads.
  if (size > 60000) return 0;
  const fs::path& directory = serviceDirectory();
  std::ofstream(directory / "request-1.json", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  int lines[2];
  if (::pipe2(lines, O_CLOEXEC) != 0) abort();
  const rezoro::UniqueFd reader(lines[0]);
  {
    const rezoro::UniqueFd writer(lines[1]);
    if (size > 0 && ::write(writer.get(), data, size) != static_cast<ssize_t>(size)) abort();
  }
  const rezoro::UniqueFd output(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const int status = rezoro::cutout::serve(directory, reader.get(), output.get(),
                                           [](const rezoro::Json& request, const rezoro::cutout::PhaseCallback& phase) {
                                             phase("loading");
                                             return rezoro::Json{{"echo", request}};
                                           });
  if (status != 0) abort();

  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().filename() != "request-1.json") fs::remove_all(entry.path());
  }
  return 0;
}
