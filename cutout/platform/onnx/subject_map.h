#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cutout/platform/onnx/probability_map.h"
#include "cutout/segmentation/rect.h"

namespace rezoro::cutout {

// The merge rules that turn the segmentation network's passes over a picture (the whole picture
// squeezed into its input, and padded crops around subjects) and the detector's boxes into one
// foreground map at the picture's working size. A map pixel is foreground at 0.5 or more.

// `map` resized to width × height by bilinear interpolation between pixel centres.
ProbabilityMap resampledMap(const ProbabilityMap& map, int64_t width, int64_t height);

// The share of the pixels of `rect` (clipped to the map, snapped outwards) that are foreground;
// 0 for a rectangle outside the map.
double foregroundShare(const ProbabilityMap& map, const Rect& rect);

// The smallest rectangle of whole pixels holding every foreground pixel, or null when there is none.
Rect foregroundBounds(const ProbabilityMap& map);

// Whether a crop pass's map (`crop`, the crop's size) holds the subject the detector boxed at
// `box` (in the crop's pixels): at least a fifth of the box is foreground, most of the crop's
// foreground lies inside the box grown by a quarter, and the foreground does not run along a crop
// side that lies inside the picture (it would be cut off there). `open` tells, for left, top, right
// and bottom, whether that side lies inside the picture.
bool cropHoldsSubject(const ProbabilityMap& crop, const Rect& box, const std::array<bool, 4>& open);

// Pastes `crop` (a map of `rect`'s size) into `map` at `rect`, keeping the larger value per pixel.
void pasteLarger(ProbabilityMap& map, const ProbabilityMap& crop, const Rect& rect);

// Whether a closer pass over `rect` may be added to the whole-picture map there: the two agree on what
// is foreground (intersection over union of at least `minimumAgreement`).
bool closerPassAgrees(const ProbabilityMap& map, const ProbabilityMap& closer, const Rect& rect,
                      double minimumAgreement);

// Edge-aware refinement of the map with the picture's gray levels as guide (a guided filter: in
// every window of radius `radius` the output is a linear function of the guide fitted to the map,
// `epsilon` damping the fit where the guide is flat). `gray` holds the map's width × height pixels.
void guidedRefine(ProbabilityMap& map, const std::vector<uint8_t>& gray, int64_t radius, float epsilon);

}  // namespace rezoro::cutout
