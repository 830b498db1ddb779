#include "cutout/platform/vips/orientation.h"

namespace rezoro::cutout {

int validOrientation(int64_t orientation) {
  return orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 1;
}

bool swapsAxes(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace rezoro::cutout
