// Mask quality and speed of the cut-out service on three sets with exact ground truth: photographed
// subjects with alpha channels (Tux Paint stamps, unpacked by setup) composited onto the OpenCV
// sample photos, one subject per photo or two side by side. Some photos are stored turned, with an
// EXIF orientation that turns them back; the ground truth is the subjects' alpha in upright pixels.
//
// - The quality set: the stamps of .deps/quality-stamps on eleven backgrounds, one per photo, and
//   eight photos of two of them.
// - The held-out set: the stamps of .deps/heldout-stamps on eight other backgrounds, with another
//   placement, turning and two-subject pairing. It is only reported, never tuned on.
// - The unseen set, never tuned on either: the stamps of .deps/unseen-stamps, each in one photo (45
//   alone, 10 in five pairs), on four backgrounds neither other set uses, placed by a seeded generator
//   (unseenSeed: a new seed makes a new set); five photos are stored turned with orientation 6.
//
// Each program runs in its own copy of the real service (the program copied into a private folder
// whose models/ holds the networks); the services take turns job by job, so a busy machine slows
// every program alike. Per set, program and kind of subject: IoU and the boundary F-score of the mask
// at 128; the mean absolute error of the soft mask against the subjects' alpha; the halo, the mask's
// mean coverage 2 to 8 pixels outside the true subject, and how much of it is soft tails, an edge
// held just outside and background held as a region; and the glow, the share of the picture held
// at 1..127 away from the mask's own edge. `--baseline` adds another build of the program (today's,
// say) to compare, named by its folder (above a build tree's bin/ and build/); it may be given more
// than once. Comparisons are against the first program.
//
//   build/bin/cutout_quality_bench [--baseline=PROGRAM]... [--photos=N] [--only=TEXT] [--keep=DIR [--keep-raw]] [MODEL...]
//   MODEL: a file in build/bin/models run by this build in place of its own network (isnet.onnx is the
//   float32 original); without one this build runs its own. --photos limits each set's single-subject
//   photos and --only=TEXT to the photos whose "<set>-<photo>" name holds TEXT; --keep copies the
//   photos to DIR and writes, per photo and program, the mask over the photo (kept green, wrongly kept
//   blue, missed red) as DIR/<set>-<photo>-<program>.png; --keep-raw adds each mask as it is and the
//   subjects' alpha, as 8-bit PGM files for analyses of one's own (<set>-<photo>-<program>-mask.pgm,
//   <set>-<photo>-alpha.pgm; about 2 MB each).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/cutout_service_client.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/platform/vips/vips_support.h"

namespace fs = std::filesystem;
using rezoro::cutout::VipsImagePtr;
using rezoro::cutout::throwVipsError;

namespace {

// Backgrounds: scenes without a subject of their own, so that the stamps are the only foreground.
const std::vector<std::string> qualityBackgrounds{"building.jpg", "home.jpg",   "graf1.png",         "aero1.jpg",
                                                  "leuvenA.jpg",  "board.jpg",  "stuff.jpg",         "aloeL.jpg",
                                                  "starry_night.jpg", "fruits.jpg", "baboon.jpg"};
const std::vector<std::string> heldOutBackgrounds{"aero3.jpg",       "graf3.png", "leuvenB.jpg", "ela_original.jpg",
                                                  "rubberwhale1.png", "right.jpg", "aloeR.jpg",   "box_in_scene.png"};
// Photographed scenes that neither set above uses: printed pages and a car's rear seen closely. The
// other unused photos hold a person or a subject of their own (a package's picture, black shapes on a
// light table, a dog) that a network rightly keeps, or are the other half of a pair a set uses.
const std::vector<std::string> unseenBackgrounds{"text_defocus.jpg", "text_motion.jpg", "licenseplate_motion.jpg",
                                                 "sudoku.png"};
// The never-tuned set's generator seed; a new set is a new seed.
constexpr uint32_t unseenSeed = 20261209;

// How one set places its subjects; the held-out set uses other numbers throughout.
struct Placement {
  const std::vector<std::string>* backgrounds;
  size_t fillStep, fillCycle, xStep, yStep;  // fill and position cycles
  size_t turnEvery, turnAt;                  // which photos are stored turned
  size_t portraitEvery, portraitAt;
};
constexpr std::array<int, 3> orientations{6, 8, 3};
const Placement qualityPlacement{&qualityBackgrounds, 37, 11, 53, 29, 7, 3, 3, 1};
const Placement heldOutPlacement{&heldOutBackgrounds, 23, 13, 31, 17, 5, 2, 4, 1};

// Where one photo's subjects go: its background, turning and shape, and per subject its size (0..1 of
// the size range) and place (`across` and `down` steps of `steps` through the room left beside it).
struct Layout {
  struct Spot {
    double size;
    int across, down;
  };
  std::string background;
  int orientation = 1;
  bool portrait = false;
  int steps = 9;
  std::vector<Spot> spots;
};

// Photo `index` of a set placed by cycles, with `subjects` subjects.
Layout cycledLayout(const Placement& placement, size_t index, size_t subjects) {
  Layout layout;
  const auto& names = *placement.backgrounds;
  layout.background = names[index % names.size()];
  layout.orientation = index % placement.turnEvery == placement.turnAt
                           ? orientations[(index / placement.turnEvery) % orientations.size()]
                           : 1;
  layout.portrait = index % placement.portraitEvery == placement.portraitAt;
  const double cycle = static_cast<double>(placement.fillCycle - 1);
  for (size_t s = 0; s < subjects; ++s) {
    const size_t at = index + s * 5;
    layout.spots.push_back({static_cast<double>((at * placement.fillStep) % placement.fillCycle) / cycle,
                            static_cast<int>((at * placement.xStep) % 10), static_cast<int>((at * placement.yStep) % 10)});
  }
  return layout;
}

struct Photo {
  std::string name;
  std::string kind;
  fs::path path;
  fs::path uprightPath;  // the composite before turning, for --keep
  int orientation = 1;
  std::vector<uint8_t> truth;  // upright, 255 = foreground
  std::vector<uint8_t> alpha;  // upright, the subjects' own alpha (0..255), as composited
  int64_t width = 0, height = 0;
};

VipsImagePtr checked(VipsImage* image, int result, const std::string& what) {
  if (result != 0) throwVipsError(what);
  return VipsImagePtr(image);
}

std::string kindOf(const std::string& name) {
  if (name.starts_with("people_") || name.find("paratrooper") != std::string::npos ||
      name.find("fireman") != std::string::npos || name.find("spacewalk") != std::string::npos) {
    return "person";
  }
  if (name.starts_with("animals_")) return "animal";
  if (name.starts_with("food_") || name.find("pudding") != std::string::npos || name.find("Mince_Pie") != std::string::npos ||
      name.find("Roast_turkey") != std::string::npos) {
    return "food";
  }
  if (name.starts_with("plants_")) return "plant";
  return "object";
}

// A stamp scaled so that its longer side is `side` pixels, as sRGB with alpha.
VipsImagePtr scaledStamp(const fs::path& stamp, double side) {
  VipsImage* out = nullptr;
  VipsImagePtr subject(vips_image_new_from_file(stamp.c_str(), nullptr));
  if (!subject) throwVipsError("stamp " + stamp.string());
  int r = vips_colourspace(subject.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr);
  subject = checked(out, r, "stamp colour");
  if (vips_image_get_bands(subject.get()) == 3) {
    r = vips_bandjoin_const1(subject.get(), &out, 255, nullptr);
    subject = checked(out, r, "stamp alpha");
  }
  const double scale = side / std::max(vips_image_get_width(subject.get()), vips_image_get_height(subject.get()));
  r = vips_resize(subject.get(), &out, scale, nullptr);
  return checked(out, r, "stamp resize");
}

// A photo's name: its stamps' names joined by '+'.
std::string photoName(const std::vector<fs::path>& stamps) {
  std::string name = stamps[0].stem().string();
  for (size_t s = 1; s < stamps.size(); ++s) name += '+' + stamps[s].stem().string();
  return name;
}

// Composites stamps (one, or two side by side) onto a background, writes the photo and keeps the
// truth in memory, as `layout` says.
Photo makePhoto(const std::vector<fs::path>& stamps, const Layout& layout, const fs::path& backgrounds,
                const fs::path& dir, const std::string& prefix) {
  Photo photo;
  photo.name = photoName(stamps);
  photo.kind = stamps.size() > 1 ? "two subjects" : kindOf(photo.name);
  photo.orientation = layout.orientation;
  photo.width = layout.portrait ? 1200 : 1600;
  photo.height = layout.portrait ? 1600 : 1200;
  const auto w = static_cast<int>(photo.width), h = static_cast<int>(photo.height);

  VipsImage* out = nullptr;
  const fs::path background = backgrounds / layout.background;
  int r = vips_thumbnail(background.c_str(), &out, w, "height", h, "crop", VIPS_INTERESTING_CENTRE, nullptr);
  VipsImagePtr composite = checked(out, r, "background " + background.string());
  r = vips_colourspace(composite.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr);
  composite = checked(out, r, "background colour");

  std::vector<uint8_t> truth(static_cast<size_t>(w) * static_cast<size_t>(h), 0), opacity(truth.size(), 0);
  for (size_t s = 0; s < stamps.size(); ++s) {
    const Layout::Spot& spot = layout.spots[s];
    // One subject fills 45 % to 85 % of the shorter side; two fill 30 % to 45 % each, one in each half.
    const double fill = stamps.size() == 1 ? 0.45 + 0.4 * spot.size : 0.3 + 0.15 * spot.size;
    VipsImagePtr subject = scaledStamp(stamps[s], fill * std::min(w, h));
    const int sw = vips_image_get_width(subject.get()), sh = vips_image_get_height(subject.get());
    const int xRange = stamps.size() == 1 ? w - sw : std::max(0, w / 2 - sw);
    const int x0 = stamps.size() == 1 ? 0 : static_cast<int>(s) * (w / 2);
    const int x = x0 + xRange * spot.across / layout.steps;
    const int y = (h - sh) * spot.down / layout.steps;
    r = vips_embed(subject.get(), &out, x, y, w, h, "extend", VIPS_EXTEND_BLACK, nullptr);
    const VipsImagePtr placed = checked(out, r, "stamp placement");
    r = vips_composite2(composite.get(), placed.get(), &out, VIPS_BLEND_MODE_OVER, nullptr);
    composite = checked(out, r, "composite");
    r = vips_extract_band(composite.get(), &out, 0, "n", 3, nullptr);
    composite = checked(out, r, "composite bands");
    r = vips_cast_uchar(composite.get(), &out, nullptr);
    composite = checked(out, r, "composite depth");

    r = vips_extract_band(placed.get(), &out, 3, nullptr);
    const VipsImagePtr alpha = checked(out, r, "alpha");
    size_t size = 0;
    const auto bytes = rezoro::cutout::pixelsOf(alpha.get(), size);
    if (size != truth.size()) throw std::runtime_error("unexpected alpha size");
    for (size_t i = 0; i < size; ++i) {
      truth[i] = std::max<uint8_t>(truth[i], bytes[i] >= 128 ? 255 : 0);
      // The alpha of one subject over another, as the composite has them.
      opacity[i] = static_cast<uint8_t>(bytes[i] + (255 - bytes[i]) * opacity[i] / 255);
    }
  }
  photo.truth = std::move(truth);
  photo.alpha = std::move(opacity);
  // Written once, so that what the service decodes and what --keep draws on are the same pixels.
  photo.uprightPath = dir / (prefix + photo.name + "-upright.png");
  if (vips_pngsave(composite.get(), photo.uprightPath.c_str(), "compression", 1, nullptr) != 0) throwVipsError("pngsave");

  // Stored turned the other way, so that the orientation tag turns it upright again.
  if (photo.orientation != 1) {
    const VipsAngle angle = photo.orientation == 6 ? VIPS_ANGLE_D270 : photo.orientation == 8 ? VIPS_ANGLE_D90 : VIPS_ANGLE_D180;
    r = vips_rot(composite.get(), &out, angle, nullptr);
    composite = checked(out, r, "rotation");
    vips_image_set_int(composite.get(), VIPS_META_ORIENTATION, photo.orientation);
  }
  photo.path = dir / (prefix + photo.name + ".jpg");
  if (vips_jpegsave(composite.get(), photo.path.c_str(), "Q", 92, nullptr) != 0) throwVipsError("jpegsave");
  return photo;
}

std::vector<uint8_t> maskBytes(const fs::path& maskPath, const Photo& photo) {
  VipsImagePtr mask(vips_image_new_from_file(maskPath.c_str(), nullptr));
  if (!mask) throwVipsError("mask");
  if (vips_image_get_width(mask.get()) != photo.width || vips_image_get_height(mask.get()) != photo.height) return {};
  size_t size = 0;
  const auto bytes = rezoro::cutout::pixelsOf(mask.get(), size);
  if (size != photo.truth.size()) return {};
  return {bytes.get(), bytes.get() + size};
}

// Intersection over union of the foreground (>= 128) of a mask and the truth.
double iou(const std::vector<uint8_t>& mask, const Photo& photo) {
  if (mask.size() != photo.truth.size()) return 0;
  int64_t both = 0, either = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    const bool found = mask[i] >= 128, truth = photo.truth[i] >= 128;
    both += found && truth;
    either += found || truth;
  }
  return either == 0 ? 1.0 : static_cast<double>(both) / static_cast<double>(either);
}

// The foreground pixels with a background 4-neighbour.
std::vector<uint8_t> boundaryOf(const std::vector<uint8_t>& mask, int64_t width, int64_t height) {
  std::vector<uint8_t> boundary(mask.size(), 0);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y * width + x);
      if (mask[i] < 128) continue;
      const bool edge = (x > 0 && mask[i - 1] < 128) || (x + 1 < width && mask[i + 1] < 128) ||
                        (y > 0 && mask[i - static_cast<size_t>(width)] < 128) ||
                        (y + 1 < height && mask[i + static_cast<size_t>(width)] < 128);
      boundary[i] = edge;
    }
  }
  return boundary;
}

// Share of `from`'s boundary pixels that have one of `to`'s within `reach` pixels (a square).
double boundaryMatch(const std::vector<uint8_t>& from, const std::vector<uint8_t>& to, int64_t width, int64_t height,
                     int64_t reach) {
  std::vector<int64_t> sums(static_cast<size_t>((width + 1) * (height + 1)), 0);
  for (int64_t y = 0; y < height; ++y) {
    int64_t row = 0;
    for (int64_t x = 0; x < width; ++x) {
      row += to[static_cast<size_t>(y * width + x)];
      sums[static_cast<size_t>((y + 1) * (width + 1) + x + 1)] = sums[static_cast<size_t>(y * (width + 1) + x + 1)] + row;
    }
  }
  int64_t total = 0, matched = 0;
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      if (!from[static_cast<size_t>(y * width + x)]) continue;
      ++total;
      const int64_t x0 = std::max<int64_t>(0, x - reach), x1 = std::min(width, x + reach + 1);
      const int64_t y0 = std::max<int64_t>(0, y - reach), y1 = std::min(height, y + reach + 1);
      const auto at = [&](int64_t yy, int64_t xx) { return sums[static_cast<size_t>(yy * (width + 1) + xx)]; };
      matched += at(y1, x1) - at(y0, x1) - at(y1, x0) + at(y0, x0) > 0;
    }
  }
  return total == 0 ? 0 : static_cast<double>(matched) / static_cast<double>(total);
}

// Boundary F-score: precision and recall of the mask's outline against the truth's, each pixel
// matched within 0.75 % of the picture's diagonal.
double boundaryF(const std::vector<uint8_t>& mask, const Photo& photo) {
  if (mask.size() != photo.truth.size()) return 0;
  const auto found = boundaryOf(mask, photo.width, photo.height);
  const auto truth = boundaryOf(photo.truth, photo.width, photo.height);
  const auto reach = static_cast<int64_t>(std::lround(0.0075 * std::hypot(photo.width, photo.height)));
  const double precision = boundaryMatch(found, truth, photo.width, photo.height, reach);
  const double recall = boundaryMatch(truth, found, photo.width, photo.height, reach);
  return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0;
}

// The pixels within `reach` pixels of a set one (set: not 0), reach measured as in a square of side
// 2 * reach + 1: a running count along the rows, then along the columns.
std::vector<uint8_t> dilated(const std::vector<uint8_t>& on, int64_t width, int64_t height, int64_t reach) {
  const auto pass = [reach](const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int64_t lines, int64_t length,
                            int64_t lineStep, int64_t step) {
    for (int64_t line = 0; line < lines; ++line) {
      const auto at = [&](int64_t i) { return static_cast<size_t>(line * lineStep + i * step); };
      int64_t count = 0;
      for (int64_t i = 0; i < std::min(reach, length); ++i) count += in[at(i)] != 0;
      for (int64_t i = 0; i < length; ++i) {
        if (i + reach < length) count += in[at(i + reach)] != 0;
        if (i - reach - 1 >= 0) count -= in[at(i - reach - 1)] != 0;
        out[at(i)] = count > 0;
      }
    }
  };
  std::vector<uint8_t> rows(on.size(), 0), out(on.size(), 0);
  pass(on, rows, height, width, width, 1);
  pass(rows, out, width, height, 1, width);
  return out;
}

// Mean absolute error of the soft mask against the subjects' alpha, both 0..255 read as 0..1; a
// missing mask counts as all background.
double meanAbsoluteError(const std::vector<uint8_t>& mask, const Photo& photo) {
  int64_t sum = 0;
  for (size_t i = 0; i < photo.alpha.size(); ++i) sum += std::abs((mask.empty() ? 0 : mask[i]) - photo.alpha[i]);
  return static_cast<double>(sum) / 255.0 / static_cast<double>(photo.alpha.size());
}

// The halo: the mask's mean coverage (0..1) in the band 2 to 8 pixels outside the true subject, the
// truth's 17 x 17 square dilation without its 3 x 3 one. A fringe that a composite over another
// background shows; IoU at 128 does not see it.
double halo(const std::vector<uint8_t>& mask, const Photo& photo) {
  if (mask.empty()) return 0;
  const auto outer = dilated(photo.truth, photo.width, photo.height, 8);
  const auto inner = dilated(photo.truth, photo.width, photo.height, 1);
  int64_t sum = 0, count = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (!outer[i] || inner[i]) continue;
    sum += mask[i];
    ++count;
  }
  return count == 0 ? 0 : static_cast<double>(sum) / 255.0 / static_cast<double>(count);
}

// The halo's makeup: what of it the mask holds softly (1..127: the tail of a soft edge), and what it
// holds at 128 or more 5 to 8 pixels out (a region of background kept: an edge a few pixels out
// stays nearer); the rest is held at 128 or more 2 to 4 pixels out (the mask's edge placed just
// outside the subject's).
struct HaloParts {
  double tail = 0, far = 0;
};

HaloParts haloParts(const std::vector<uint8_t>& mask, const Photo& photo) {
  if (mask.empty()) return {};
  const auto outer = dilated(photo.truth, photo.width, photo.height, 8);
  const auto near = dilated(photo.truth, photo.width, photo.height, 4);
  const auto inner = dilated(photo.truth, photo.width, photo.height, 1);
  int64_t tail = 0, far = 0, count = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (!outer[i] || inner[i]) continue;
    ++count;
    if (mask[i] < 128) {
      tail += mask[i];
    } else if (!near[i]) {
      far += mask[i];
    }
  }
  if (count == 0) return {};
  const double scale = 255.0 * static_cast<double>(count);
  return {static_cast<double>(tail) / scale, static_cast<double>(far) / scale};
}

// The glow: the share of the picture's pixels that the mask holds at 1..127 further than 3 pixels
// (a 7 x 7 square) from its own edge at 128 (a pixel whose 4-neighbour is on the other side of 128).
// A clean mask is soft only along its edge; a glow is background kept faintly, away from any edge.
double glow(const std::vector<uint8_t>& mask, int64_t width, int64_t height) {
  if (mask.empty()) return 0;
  std::vector<uint8_t> edge(mask.size(), 0);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y * width + x);
      const bool in = mask[i] >= 128;
      edge[i] = (x > 0 && (mask[i - 1] >= 128) != in) || (x + 1 < width && (mask[i + 1] >= 128) != in) ||
                (y > 0 && (mask[i - static_cast<size_t>(width)] >= 128) != in) ||
                (y + 1 < height && (mask[i + static_cast<size_t>(width)] >= 128) != in);
    }
  }
  const auto band = dilated(edge, width, height, 3);
  int64_t count = 0;
  for (size_t i = 0; i < mask.size(); ++i) count += mask[i] >= 1 && mask[i] <= 127 && !band[i];
  return static_cast<double>(count) / static_cast<double>(mask.size());
}

// The mask over the photo, a third of its size: kept green, wrongly kept blue, missed red.
void writeOverlay(const std::vector<uint8_t>& mask, const Photo& photo, const fs::path& file) {
  VipsImagePtr upright(vips_image_new_from_file(photo.uprightPath.c_str(), nullptr));
  if (!upright) throwVipsError("upright photo");
  size_t size = 0;
  const auto rgb = rezoro::cutout::pixelsOf(upright.get(), size);
  if (size != photo.truth.size() * 3) throw std::runtime_error("unexpected photo size");
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < photo.truth.size(); ++i) {
    const bool found = !mask.empty() && mask[i] >= 128, truth = photo.truth[i] >= 128;
    const std::array<int, 3> tint = found && truth ? std::array{0, 160, 0}
                                    : found       ? std::array{0, 0, 255}
                                    : truth       ? std::array{255, 0, 0}
                                                  : std::array{-1, -1, -1};
    for (size_t c = 0; c < 3; ++c) {
      const int v = rgb[i * 3 + c];
      out[i * 3 + c] = static_cast<uint8_t>(tint[c] < 0 ? v / 3 : (v + tint[c]) / 2);
    }
  }
  VipsImagePtr image(vips_image_new_from_memory(out.data(), out.size(), static_cast<int>(photo.width),
                                                static_cast<int>(photo.height), 3, VIPS_FORMAT_UCHAR));
  VipsImage* small = nullptr;
  const int r = vips_resize(image.get(), &small, 1.0 / 3, nullptr);
  const VipsImagePtr reduced = checked(small, r, "overlay resize");
  if (vips_pngsave(reduced.get(), file.c_str(), "compression", 1, nullptr) != 0) throwVipsError("overlay save");
}

// One upright picture's bytes (a mask, or the subjects' alpha) as a binary 8-bit PGM file.
void writeGrayPgm(const std::vector<uint8_t>& bytes, const Photo& photo, const fs::path& file) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wb"), &std::fclose);
  if (!out || std::fprintf(out.get(), "P5\n%lld %lld\n255\n", static_cast<long long>(photo.width),
                           static_cast<long long>(photo.height)) < 0 ||
      std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

// A private copy of `program` whose models/ holds its own networks, the segmentation network
// replaced by `model` when one is given.
fs::path privateService(const fs::path& program, const fs::path& model, const fs::path& dir) {
  const fs::path binDir = program.parent_path();
  fs::create_directories(dir / "models");
  fs::copy_file(program, dir / "rezoro-cutout");
  fs::create_directory_symlink(fs::canonical(binDir / "lib"), dir / "lib");
  for (const auto& entry : fs::directory_iterator(binDir / "models")) {
    if (model.empty() || entry.path().filename() != rezoro::cutout::isnetModelName) {
      fs::create_symlink(fs::canonical(entry.path()), dir / "models" / entry.path().filename());
    }
  }
  if (!model.empty()) fs::create_symlink(fs::canonical(model), dir / "models" / rezoro::cutout::isnetModelName);
  return dir / "rezoro-cutout";
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double mean(const std::vector<double>& values) {
  return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

double shareAtLeast(const std::vector<double>& values, double level) {
  return values.empty() ? 0
                        : static_cast<double>(std::count_if(values.begin(), values.end(), [&](double v) { return v >= level; })) /
                              static_cast<double>(values.size());
}

struct Scores {
  std::vector<double> iou, boundary, error, halo, haloTail, haloFar, glow, jobSeconds;
};

struct Program {
  std::string label;
  fs::path path;
  std::map<std::string, Scores> sets;  // by set name
  long peakRssKiB = 0;
};

struct PhotoSet {
  std::string name;
  std::vector<Photo> photos;
  std::string note = {};  // said beside the set's name
};

std::vector<fs::path> stampsIn(const fs::path& dir) {
  std::vector<fs::path> stamps;
  if (fs::is_directory(dir)) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == ".png") stamps.push_back(entry.path());
    }
  }
  std::sort(stamps.begin(), stamps.end());
  return stamps;
}

// Which photos a run makes: those whose "<set>-<photo>" name holds `only` (every one when empty).
bool wanted(const std::string& only, const std::string& set, const std::vector<fs::path>& stamps) {
  return only.empty() || (set + "-" + photoName(stamps)).find(only) != std::string::npos;
}

// One set: every stamp alone (up to `limit`), then eight pairs of stamps a third of the list apart.
PhotoSet makeSet(const std::string& name, const std::vector<fs::path>& stamps, size_t limit, const std::string& only,
                 const Placement& placement, const fs::path& backgrounds, const fs::path& dir, size_t pairOffset) {
  PhotoSet set{name, {}};
  const size_t singles = std::min(stamps.size(), limit);
  for (size_t i = 0; i < singles; ++i) {
    if (!wanted(only, name, {stamps[i]})) continue;
    set.photos.push_back(makePhoto({stamps[i]}, cycledLayout(placement, i, 1), backgrounds, dir, name + "-"));
  }
  const size_t step = stamps.size() / 3;
  for (size_t p = 0; p < 8 && stamps.size() >= 3; ++p) {
    const size_t first = (p * 5 + pairOffset) % stamps.size(), second = (first + step) % stamps.size();
    if (!wanted(only, name, {stamps[first], stamps[second]})) continue;
    set.photos.push_back(
        makePhoto({stamps[first], stamps[second]}, cycledLayout(placement, singles + p, 2), backgrounds, dir, name + "-"));
  }
  return set;
}

// The never-tuned set: its own stamps, each in one photo, on its own backgrounds, laid out by a seeded
// generator (std::mt19937, whose numbers every library gives alike, used without the library's
// distributions, which differ): in the seed's order, all but ten alone and those ten in five pairs;
// five photos stored turned with orientation 6. `limit` takes the first photos alone and every pair.
PhotoSet makeSeededSet(const std::string& name, std::vector<fs::path> stamps, size_t limit, const std::string& only,
                       const std::vector<std::string>& backgroundNames, uint32_t seed, const fs::path& backgrounds,
                       const fs::path& dir) {
  std::mt19937 random(seed);
  const auto below = [&random](size_t n) { return static_cast<size_t>(random() % n); };
  const auto shuffle = [&below](auto& items) {
    for (size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[below(i)]);
  };
  shuffle(stamps);
  std::vector<std::string> names = backgroundNames;
  shuffle(names);
  constexpr size_t pairs = 5, turned = 5;
  const size_t alone = stamps.size() > 2 * pairs ? stamps.size() - 2 * pairs : 0;
  const size_t photos = alone + std::min(pairs, (stamps.size() - alone) / 2);
  std::vector<size_t> order(photos);
  std::iota(order.begin(), order.end(), 0);
  shuffle(order);
  std::vector<bool> turn(photos, false);
  for (size_t t = 0; t < std::min(turned, photos); ++t) turn[order[t]] = true;
  PhotoSet set{name, {}, "never tuned on"};
  for (size_t p = 0; p < photos; ++p) {
    Layout layout;
    layout.background = names[p % names.size()];
    layout.orientation = turn[p] ? 6 : 1;
    layout.portrait = below(3) == 0;
    layout.steps = 999;
    std::vector<fs::path> subjects{stamps[p < alone ? p : alone + 2 * (p - alone)]};
    if (p >= alone) subjects.push_back(stamps[alone + 2 * (p - alone) + 1]);
    for (size_t s = 0; s < subjects.size(); ++s) {
      layout.spots.push_back({static_cast<double>(random()) / 4294967295.0, static_cast<int>(below(1000)),
                              static_cast<int>(below(1000))});
    }
    if ((p < alone && p >= limit) || !wanted(only, name, subjects)) continue;
    set.photos.push_back(makePhoto(subjects, layout, backgrounds, dir, name + "-"));
  }
  return set;
}

}  // namespace

int main(int argc, char** argv) {
  size_t limit = SIZE_MAX;
  std::vector<fs::path> baselines;
  fs::path keep;
  bool keepRaw = false;
  std::string only;
  bool baselinesOnly = false;
  std::vector<std::string> models;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--baseline=")) {
      baselines.push_back(fs::absolute(arg.substr(11)));
    } else if (arg.starts_with("--photos=")) {
      limit = static_cast<size_t>(std::max(1, std::atoi(arg.c_str() + 9)));
    } else if (arg.starts_with("--keep=")) {
      keep = fs::absolute(arg.substr(7));
    } else if (arg == "--keep-raw") {
      keepRaw = true;
    } else if (arg == "--baselines-only") {
      baselinesOnly = true;
    } else if (arg.starts_with("--only=")) {
      only = arg.substr(7);
    } else {
      models.push_back(arg);
    }
  }
  const fs::path binDir = rezoro::cutout::executableDirectory();
  const fs::path deps = REZORO_BENCH_DEPS_DIR;
  const auto qualityStamps = stampsIn(deps / "quality-stamps");
  const auto heldOutStamps = stampsIn(deps / "heldout-stamps");
  const auto unseenStamps = stampsIn(deps / "unseen-stamps");
  if (qualityStamps.empty() || heldOutStamps.empty() || unseenStamps.empty()) {
    std::fprintf(stderr, "no quality, held-out or unseen stamps in %s: run scripts/setup.sh\n", deps.c_str());
    return 1;
  }

  rezoro::cutout::startVips();
  const fs::path work = fs::temp_directory_path() / ("rezoro-cutout-quality-bench-" + rezoro::newUuidString());
  fs::create_directories(work / "photos");
  if (!keep.empty()) fs::create_directories(keep);
  int status = 0;
  try {
    std::vector<PhotoSet> sets{
        makeSet("quality", qualityStamps, limit, only, qualityPlacement, deps / "opencv-doc", work / "photos", 0),
        makeSet("held-out", heldOutStamps, limit, only, heldOutPlacement, deps / "opencv-doc", work / "photos", 2),
        makeSeededSet("unseen", unseenStamps, limit, only, unseenBackgrounds, unseenSeed, deps / "opencv-doc",
                      work / "photos")};
    if (!keep.empty()) {
      for (const PhotoSet& set : sets) {
        for (const Photo& photo : set.photos) {
          fs::copy_file(photo.path, keep / photo.path.filename(), fs::copy_options::overwrite_existing);
          if (keepRaw) writeGrayPgm(photo.alpha, photo, keep / (set.name + "-" + photo.name + "-alpha.pgm"));
        }
      }
    }
    std::erase_if(sets, [](const PhotoSet& set) { return set.photos.empty(); });

    std::vector<Program> programs;
    for (size_t b = 0; b < baselines.size(); ++b) {
      programs.push_back({rezoro::bench::programLabel(baselines[b]),
                          privateService(baselines[b], {}, work / ("baseline-" + std::to_string(b))), {}, 0});
    }
    if (models.empty() && !baselinesOnly) {
      programs.push_back({"this build", privateService(binDir / "rezoro-cutout", {}, work / "service-0"), {}, 0});
    }
    for (size_t m = 0; m < models.size(); ++m) {
      programs.push_back({"this build, " + models[m],
                          privateService(binDir / "rezoro-cutout", binDir / "models" / models[m],
                                         work / ("service-" + std::to_string(m))),
                          {}, 0});
    }
    std::vector<std::unique_ptr<rezoro::bench::CutoutService>> services;
    for (const auto& program : programs) services.push_back(std::make_unique<rezoro::bench::CutoutService>(program.path));

    bool warm = false;
    for (const PhotoSet& set : sets) {
      for (size_t p = 0; p < set.photos.size(); ++p) {
        const Photo& photo = set.photos[p];
        // The first job of each service loads its networks and is run twice, the first not counted.
        for (int round = warm ? 1 : 0; round < 2; ++round) {
          for (size_t s = 0; s < services.size(); ++s) {
            const fs::path mask = work / ("mask-" + std::to_string(s) + ".png");
            const auto answer = services[s]->job({{"kind", "native_cutout"}, {"path", photo.path.string()},
                                                   {"destination", mask.string()}});
            // A photo where the service finds no subject scores 0; any other failure ends the run.
            const bool missed = answer.response.value("error_code", "") == "no_foreground";
            if (answer.response.value("ok", false) != true && !missed) {
              std::fprintf(stderr, "%s failed on %s: %s\n", programs[s].label.c_str(), photo.name.c_str(),
                           answer.response.dump().c_str());
              return 1;
            }
            if (round == 0) continue;
            const std::vector<uint8_t> bytes = missed ? std::vector<uint8_t>{} : maskBytes(mask, photo);
            Scores& scores = programs[s].sets[set.name];
            scores.iou.push_back(iou(bytes, photo));
            scores.boundary.push_back(boundaryF(bytes, photo));
            scores.error.push_back(meanAbsoluteError(bytes, photo));
            scores.halo.push_back(halo(bytes, photo));
            const HaloParts parts = haloParts(bytes, photo);
            scores.haloTail.push_back(parts.tail);
            scores.haloFar.push_back(parts.far);
            scores.glow.push_back(glow(bytes, photo.width, photo.height));
            scores.jobSeconds.push_back(answer.seconds);
            if (!keep.empty()) {
              std::string label = programs[s].label;
              std::replace_if(label.begin(), label.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
              writeOverlay(bytes, photo, keep / (set.name + "-" + photo.name + "-" + label + ".png"));
              if (keepRaw && !bytes.empty()) {
                writeGrayPgm(bytes, photo, keep / (set.name + "-" + photo.name + "-" + label + "-mask.pgm"));
              }
            }
          }
        }
        warm = true;
      }
    }
    for (size_t s = 0; s < services.size(); ++s) programs[s].peakRssKiB = rezoro::bench::residentKiB(services[s]->pid(), "VmHWM");
    services.clear();

    const std::vector<std::string> kinds{"animal", "food", "plant", "object", "person", "two subjects"};
    for (const PhotoSet& set : sets) {
      std::map<std::string, size_t> counts;
      size_t turned = 0;
      for (const auto& photo : set.photos) {
        ++counts[photo.kind];
        turned += photo.orientation != 1;
      }
      std::printf("\n%s set%s%s: %zu photos (%zu stored turned with an EXIF orientation); per kind:", set.name.c_str(),
                  set.note.empty() ? "" : ", ", set.note.c_str(), set.photos.size(), turned);
      for (const auto& kind : kinds) std::printf(" %s %zu,", kind.c_str(), counts[kind]);
      std::printf("\n%-34s %8s %8s %7s %8s %7s %6s %6s %9s\n", "program", "mean IoU", "median", ">=0.9", "mean BF", "MAE",
                  "halo", "glow", "job (med)");
      for (const Program& program : programs) {
        const Scores& scores = program.sets.at(set.name);
        std::printf("%-34s %8.4f %8.4f %6.1f%% %8.4f %7.4f %6.3f %5.2f%% %8.3fs\n", program.label.c_str(), mean(scores.iou),
                    median(scores.iou), 100 * shareAtLeast(scores.iou, 0.9), mean(scores.boundary), mean(scores.error),
                    mean(scores.halo), 100 * mean(scores.glow), median(scores.jobSeconds));
      }
      std::printf("halo = held at 1..127 + held at 128 2-4 px out + held at 128 5-8 px out\n");
      for (const Program& program : programs) {
        const Scores& scores = program.sets.at(set.name);
        std::printf("  %-32s %6.3f = %.3f + %.3f + %.3f\n", program.label.c_str(), mean(scores.halo),
                    mean(scores.haloTail), mean(scores.halo) - mean(scores.haloTail) - mean(scores.haloFar),
                    mean(scores.haloFar));
      }
      const std::vector<std::pair<std::string, std::vector<double> Scores::*>> figures{
          {"mean IoU", &Scores::iou}, {"MAE", &Scores::error}, {"halo", &Scores::halo}};
      for (const auto& [figure, member] : figures) {
        std::printf("%-34s", (figure + " per kind").c_str());
        for (const auto& kind : kinds) std::printf(" %12s", kind.c_str());
        std::printf("\n");
        for (const Program& program : programs) {
          std::printf("  %-32s", program.label.c_str());
          for (const auto& kind : kinds) {
            std::vector<double> values;
            for (size_t p = 0; p < set.photos.size(); ++p) {
              if (set.photos[p].kind == kind) values.push_back((program.sets.at(set.name).*member)[p]);
            }
            if (values.empty()) {
              std::printf(" %12s", "-");
            } else {
              std::printf(" %12.4f", mean(values));
            }
          }
          std::printf("\n");
        }
      }
      for (size_t s = 1; s < programs.size(); ++s) {
        const Scores& base = programs[0].sets.at(set.name);
        const Scores& other = programs[s].sets.at(set.name);
        std::printf("%s against %s: mean IoU %+.4f, mean BF %+.4f, MAE %+.4f, halo %+.3f, glow %+.2f points, "
                    "job time x%.2f; above 0.9 before and below 0.85 now:",
                    programs[s].label.c_str(), programs[0].label.c_str(), mean(other.iou) - mean(base.iou),
                    mean(other.boundary) - mean(base.boundary), mean(other.error) - mean(base.error),
                    mean(other.halo) - mean(base.halo), 100 * (mean(other.glow) - mean(base.glow)),
                    median(other.jobSeconds) / median(base.jobSeconds));
        size_t fallen = 0;
        for (size_t p = 0; p < set.photos.size(); ++p) {
          if (base.iou[p] > 0.9 && other.iou[p] < 0.85) std::printf(" %s (%.3f)", set.photos[p].name.c_str(), other.iou[p]);
          fallen += base.iou[p] > 0.9 && other.iou[p] < 0.85;
        }
        std::printf(fallen == 0 ? " none\n" : "\n");
      }
    }
    std::printf("\npeak RSS:");
    for (const Program& program : programs) std::printf(" %s %.0f MiB;", program.label.c_str(), double(program.peakRssKiB) / 1024.0);
    std::printf("\nper photo, programs in the order above: IoU, boundary F, MAE, halo, glow (%% of the picture)\n");
    for (const PhotoSet& set : sets) {
      for (size_t p = 0; p < set.photos.size(); ++p) {
        const Photo& photo = set.photos[p];
        std::printf("  %-8s %-60s", set.name.c_str(), (photo.name + (photo.orientation != 1 ? " (turned)" : "")).c_str());
        for (const Program& program : programs) {
          const Scores& scores = program.sets.at(set.name);
          std::printf("  %.3f %.3f %.4f %.3f %5.2f", scores.iou[p], scores.boundary[p], scores.error[p], scores.halo[p],
                      100 * scores.glow[p]);
        }
        std::printf("\n");
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cutout_quality_bench: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return status;
}
