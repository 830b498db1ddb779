#pragma once

#include <cstdint>

#include "cutout/segmentation/probability_map.h"
#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// Refines the edge of a foreground map with the colours of the picture it was made from, in a
// narrow band around the map's own edge and nowhere else; `map` and `picture` have the same size.
//
// The band holds every pixel within `reach` pixels (a square) of a pixel on the other side of the
// map's 0.5 level; every pixel outside it keeps the map's value. For a pixel in the band, the mean
// colours of the pixels within 2 × reach + 2 that are surely subject (foreground outside the band)
// and surely background (background outside the band) stand for the two sides of the edge, and
// the pixel's colour placed on the line between them gives its coverage: all subject, all
// background, or a mix where the photo itself mixes the two (fur, hair, blur). That coverage
// replaces the map's as far as the two sides differ in colour and the pixel lies on the line
// between them: where subject and background look alike, or the pixel shows a third colour, the
// map's value stays, so an edge never follows colour into a background that resembles the
// subject. A band pixel with too few sure pixels of either kind nearby (a structure thinner than
// the band, the corner of one that the picture's border cuts, a region the network was unsure of,
// where its edge winds through most of the window) keeps the map's value too.
void refineEdges(ProbabilityMap& map, const UprightImage& picture, int64_t reach);

// Clears the map's soft tail: a value below 0.5 becomes 0 unless one of its eight neighbours is at
// 0.5 or more. What remains soft on the background side is the edge's own outer pixel; farther out,
// a value below 0.5 is background the network was not sure of, which a composite shows as a glow of
// the old background around the subject (on photos with exact alpha it was wrong far more often than
// right). The subject's side keeps its values.
void clearDetachedTails(ProbabilityMap& map);

}  // namespace rezoro::cutout
