#pragma once

#include <unistd.h>

#include <filesystem>

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
