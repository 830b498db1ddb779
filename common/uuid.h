#pragma once

#include <string>

namespace rezoro {

// A new random UUID as 36 upper-case hexadecimal characters in the 8-4-4-4-12 grouping.
std::string newUuidString();

}  // namespace rezoro
