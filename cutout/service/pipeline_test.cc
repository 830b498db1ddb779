#include "cutout/service/pipeline.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/uuid.h"
#include "cutout/contract/cutout_failure.h"
#include "cutout/segmentation/recovery_test_support.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;
using testing::coordinateImage;
using testing::maskWithBlock;

// A header-only image source: the properties it is given, and a coordinate image when decoded.
class HeaderSource : public ImageSource {
 public:
  HeaderSource(std::optional<ImageProperties> properties, std::vector<std::pair<int64_t, int64_t>>& decodedSizes)
      : properties_(std::move(properties)), decodedSizes_(decodedSizes) {}
  std::optional<ImageProperties> properties() override { return properties_; }
  std::optional<UprightImage> uprightThumbnail(int64_t width, int64_t height) override {
    decodedSizes_.emplace_back(width, height);
    return coordinateImage(width, height);
  }

 private:
  std::optional<ImageProperties> properties_;
  std::vector<std::pair<int64_t, int64_t>>& decodedSizes_;  // the sizes every source was asked to decode at
};

// A segmentation service whose whole-image answer is scripted, and whose crops are cut from `scene`.
class ScriptedEngine : public testing::SceneEngine {
 public:
  using SceneEngine::SceneEngine;

  std::function<void()> wholeImageFailure;
  std::optional<GrayMask> wholeMask;      // none: no observation at all
  std::set<int64_t> instances{1, 2};
  bool scaledMaskMissing = false;
  std::shared_ptr<const UprightImage> analysed;  // what the whole-image observation says it analysed
  std::vector<ImageRequestHandler::File> wholeImageRequests;

  std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest& request,
                                                   const ImageRequestHandler& handler) override {
    const auto* file = std::get_if<ImageRequestHandler::File>(&handler.image);
    if (!file) return SceneEngine::perform(request, handler);
    wholeImageRequests.push_back(*file);
    if (wholeImageFailure) wholeImageFailure();
    if (!wholeMask) return nullptr;
    return std::make_unique<Observation>(*this);
  }

 private:
  class Observation : public InstanceMaskObservation {
   public:
    explicit Observation(const ScriptedEngine& engine) : engine_(engine) {}
    const std::set<int64_t>& allInstances() const override { return engine_.instances; }
    std::shared_ptr<const UprightImage> analysedPicture() const override { return engine_.analysed; }
    std::unique_ptr<PixelBuffer> generateScaledMask(const std::set<int64_t>&, const ImageRequestHandler&) const override {
      if (engine_.scaledMaskMissing) return nullptr;
      const GrayMask& mask = *engine_.wholeMask;
      auto buffer = std::make_unique<PixelBuffer>(mask.width, mask.height, PixelFormat::oneComponent32Float);
      for (int64_t y = 0; y < mask.height; ++y) {
        for (int64_t x = 0; x < mask.width; ++x) buffer->floatRow(y)[x] = mask.bytes[size_t(y * mask.width + x)] / 255.0f;
      }
      return buffer;
    }

   private:
    const ScriptedEngine& engine_;
  };
};

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("rezoro-pipeline-" + newUuidString());
    fs::create_directory(dir_);
    input_ = dir_ / "photo.jpg";
    std::ofstream(input_) << "not decoded by the fakes";
    setImage(100, 80);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The header says width × height; the whole-image mask and the crop scene follow the oriented size.
  void setImage(double width, double height, std::optional<double> orientation = std::nullopt) {
    properties_ = ImageProperties{width, height, orientation};
  }

  Json request(const fs::path& destination) const {
    return Json{{"kind", "native_cutout"}, {"path", input_.string()}, {"destination", destination.string()}};
  }

  Json runWith(ScriptedEngine& engine, const Json& request) {
    CutoutServices services{engine, detector_, [&](const fs::path& path) -> std::unique_ptr<ImageSource> {
                              ++opened_;
                              openedPaths_.push_back(path);
                              if (afterOpening_) afterOpening_();
                              if (!openable_) return nullptr;
                              auto source = std::make_unique<HeaderSource>(properties_, decodedSizes_);
                              lastSource_ = source.get();
                              return source;
                            }};
    return run(request, [&](std::string_view phase) { phases_.emplace_back(phase); }, services);
  }

  // A 2000 × 1600 photo whose segmentation finds only a small object in a corner, while the
  // detector finds a person at (800, 200, 400, 1200), answering in pixels of whatever picture it is
  // handed; `engine`'s crop scene should show the person.
  void missAPersonIn2000x1600(ScriptedEngine& engine) {
    setImage(2000, 1600);
    engine.wholeMask = maskWithBlock(2000, 1600, 0, 0, 100, 100);
    detector_.answer = [](const UprightImage& image) {
      const double sx = double(image.width) / 2000, sy = double(image.height) / 1600;
      return std::vector<HumanObservation>{{0.9f, Rect{800 * sx, 200 * sy, 400 * sx, 1200 * sy}}};
    };
  }

  CutoutFailure failureOf(ScriptedEngine& engine, const Json& request) {
    try {
      runWith(engine, request);
    } catch (const CutoutFailure failure) {
      return failure;
    }
    ADD_FAILURE() << "no failure";
    return CutoutFailure::nativeFailure;
  }

  fs::path dir_, input_;
  std::optional<ImageProperties> properties_;
  bool openable_ = true;
  int opened_ = 0;
  std::vector<fs::path> openedPaths_;
  const ImageSource* lastSource_ = nullptr;
  std::vector<std::pair<int64_t, int64_t>> decodedSizes_;
  std::function<void()> afterOpening_;
  std::vector<std::string> phases_;
  testing::ScriptedDetector detector_;
};

TEST_F(PipelineTest, RefusesMalformedRequests) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 50, 80));
  const fs::path out = dir_ / "mask.png";
  std::vector<Json> requests;
  for (const char* kind : {"native_cutout ", "Native_cutout", "", "native_cutout\n"}) {
    Json r = request(out);
    r["kind"] = kind;
    requests.push_back(r);
  }
  for (const char* key : {"kind", "path", "destination"}) {
    Json missing = request(out);
    missing.erase(key);
    requests.push_back(missing);
    Json number = request(out);
    number[key] = 1;
    requests.push_back(number);
  }
  Json empty = request(out);
  empty["path"] = "";
  requests.push_back(empty);
  Json nul = request(out);
  nul["destination"] = std::string("mask\0.png", 9);
  requests.push_back(nul);
  for (const auto& r : requests) EXPECT_EQ(failureOf(engine, r), CutoutFailure::invalidInput) << r.dump();
  EXPECT_EQ(opened_, 0);
}

TEST_F(PipelineTest, RefusesPathsBeforeOpeningTheImage) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 50, 80));
  fs::create_directory(dir_ / "sub");
  fs::create_symlink(input_, dir_ / "link-to-input.png");
  fs::create_symlink(dir_ / "elsewhere.png", dir_ / "dangling.png");
  for (const fs::path& destination : {input_, dir_ / "." / "photo.jpg", dir_ / "link-to-input.png",
                                      dir_ / "missing" / "mask.png", dir_ / "sub", dir_ / "dangling.png"}) {
    EXPECT_EQ(failureOf(engine, request(destination)), CutoutFailure::invalidInput) << destination;
  }
  Json missingInput = request(dir_ / "mask.png");
  missingInput["path"] = (dir_ / "nothing.jpg").string();
  EXPECT_EQ(failureOf(engine, missingInput), CutoutFailure::invalidInput);
  Json directoryInput = request(dir_ / "mask.png");
  directoryInput["path"] = (dir_ / "sub").string();
  EXPECT_EQ(failureOf(engine, directoryInput), CutoutFailure::invalidInput);
  EXPECT_EQ(opened_, 0);
  EXPECT_TRUE(phases_.empty());
}

TEST_F(PipelineTest, HeaderSizeRules) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 50, 80));
  engine.wholeImageFailure = [] { throw CutoutFailure::unsupportedHardware; };  // marks "got past the header"
  const auto outcome = [&](std::optional<double> width, std::optional<double> height) {
    properties_ = ImageProperties{width, height, std::nullopt};
    return failureOf(engine, request(dir_ / "mask.png"));
  };
  EXPECT_EQ(outcome(8000, 8000), CutoutFailure::unsupportedHardware);
  EXPECT_EQ(outcome(8000, 8001), CutoutFailure::imageTooLarge);
  EXPECT_EQ(outcome(64000001, 1), CutoutFailure::imageTooLarge);
  EXPECT_EQ(outcome(0, 10), CutoutFailure::imageTooLarge);
  EXPECT_EQ(outcome(10.5, 10), CutoutFailure::imageTooLarge);
  EXPECT_EQ(outcome(std::nullopt, 10), CutoutFailure::invalidInput);
  EXPECT_EQ(outcome(10, std::nullopt), CutoutFailure::invalidInput);
  properties_.reset();
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::invalidInput);
  openable_ = false;
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::invalidInput);
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(PipelineTest, EveryStageReadsTheInputAsItWasWhenOpened) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 100, 80));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 60, 80);
  const std::string original = contents(input_);
  // The file is rewritten in place, then replaced, once its header has been read.
  afterOpening_ = [&] {
    std::ofstream(input_, std::ios::binary | std::ios::trunc) << "another picture entirely";
    std::ofstream(dir_ / "other.jpg") << "yet another";
    fs::rename(dir_ / "other.jpg", input_);
  };
  std::string opened;
  engine.wholeImageFailure = [&] { opened = contents(openedPaths_.back()); };
  runWith(engine, request(dir_ / "mask.png"));
  ASSERT_EQ(openedPaths_.size(), 1u);
  ASSERT_EQ(engine.wholeImageRequests.size(), 1u);
  EXPECT_NE(openedPaths_[0], input_);
  // The segmentation decodes through the one source opened on the copy, never the path again.
  EXPECT_EQ(&engine.wholeImageRequests[0].source.get(), lastSource_);
  EXPECT_EQ(opened, original);
}

TEST_F(PipelineTest, OrientationSwapsOnlyForFiveToEight) {
  for (const double orientation : {0.0, 1.0, 3.0, 4.0, 5.0, 6.0, 8.0, 9.0}) {
    const bool swapped = orientation >= 5 && orientation <= 8;
    const int64_t w = swapped ? 20 : 30, h = swapped ? 30 : 20;
    ScriptedEngine engine(maskWithBlock(w, h, 0, 0, w, h));
    engine.wholeMask = maskWithBlock(w, h, 0, 0, w / 2, h);
    setImage(30, 20, orientation);
    const Json result = runWith(engine, request(dir_ / "mask.png"));
    EXPECT_EQ(result["mask_size"], Json({w, h})) << orientation;
    EXPECT_EQ(engine.wholeImageRequests.back().width, w);
    EXPECT_EQ(engine.wholeImageRequests.back().height, h);
  }
}

TEST_F(PipelineTest, LargeSubjectIsKeptWithoutLookingForPeople) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 100, 80));
  engine.wholeMask = maskWithBlock(100, 80, 10, 10, 60, 70);  // 37.5 % foreground
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(phases_, (std::vector<std::string>{"loading", "running"}));
  EXPECT_EQ(result.size(), 14u);
  EXPECT_EQ(result["recovery_mode"], "none");
  EXPECT_EQ(result["instance_count"], 2);
  EXPECT_EQ(result["human_detection_passes"], 0);
  EXPECT_EQ(result["foreground_crop_passes"], 0);
  EXPECT_EQ(result["recovered_people_count"], 0);
  EXPECT_EQ(result["optional_recovery_error"], "");
  EXPECT_EQ(result["mask_path"], (dir_ / "mask.png").string());
  EXPECT_EQ(result["providers"], Json({"AppleVisionGPU"}));
  EXPECT_EQ(result["backend"], "apple_vision");
  EXPECT_EQ(result["backend_revision"], 3);
  EXPECT_TRUE(result["inference_seconds"].is_number_float());
  EXPECT_GE(result["total_seconds"].get<double>(), result["inference_seconds"].get<double>());
  EXPECT_GT(result["peak_rss_bytes"].get<int64_t>(), 1 << 20);
  EXPECT_TRUE(detector_.seenSizes.empty());
  EXPECT_TRUE(fs::is_regular_file(dir_ / "mask.png"));
}

TEST_F(PipelineTest, SubjectOfExactlyAFifthStillChecksForPeople) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 100, 80));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 20, 80);  // exactly 20 %
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(detector_.seenSizes.size(), 1u);
  EXPECT_EQ(result["recovery_mode"], "none");
  EXPECT_EQ(result["human_detection_passes"], 1);
  EXPECT_EQ(result["optional_recovery_error"], "");
}

TEST_F(PipelineTest, RecoversAMissedProminentPerson) {
  // The subject is a small object in the corner; a person of exactly 15 % of the image stands
  // uncovered in the middle. The crops see the person in the scene.
  ScriptedEngine engine(maskWithBlock(100, 80, 40, 20, 60, 68));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 10, 10);
  detector_.answer = [](const UprightImage&) {
    // 20 × 60 = 1200 = 15 % of 8000.
    return std::vector<HumanObservation>{{0.9f, Rect{40, 10, 20, 60}}};
  };
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(result["recovery_mode"], "missed_prominent_people");
  EXPECT_EQ(result["human_detection_passes"], 1);
  EXPECT_EQ(result["recovered_people_count"], 1);
  EXPECT_EQ(result["foreground_crop_passes"], 1);
  EXPECT_EQ(result["instance_count"], 1);
  EXPECT_EQ(result["optional_recovery_error"], "");
}

TEST_F(PipelineTest, SearchesForPeopleOnAReducedDecodeAndCropsTheFullSize) {
  // 2000 × 1600 is searched at 416 × 333; the crop is cut from the full-size decode.
  ScriptedEngine engine(maskWithBlock(2000, 1600, 800, 400, 1200, 1360));
  missAPersonIn2000x1600(engine);
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  ASSERT_EQ(detector_.seenSizes.size(), 1u);
  EXPECT_EQ(detector_.seenSizes[0], (std::pair<int64_t, int64_t>{416, 333}));
  EXPECT_EQ(result["recovery_mode"], "missed_prominent_people");
  EXPECT_EQ(result["mask_size"], Json({2000, 1600}));
  EXPECT_EQ(result["foreground_crop_passes"], 1);
}

TEST_F(PipelineTest, SearchesForPeopleOnTheAnalysedPictureWithoutDecodingAgain) {
  // The segmentation analysed 2000 × 1600 at 1600 × 1280: the detector is handed that picture and
  // its boxes are scaled back; only the crop's full-size picture is decoded.
  ScriptedEngine engine(maskWithBlock(2000, 1600, 800, 400, 1200, 1360));
  missAPersonIn2000x1600(engine);
  engine.analysed = std::make_shared<const UprightImage>(coordinateImage(1600, 1280));
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  ASSERT_EQ(detector_.seenSizes.size(), 1u);
  EXPECT_EQ(detector_.seenSizes[0], (std::pair<int64_t, int64_t>{1600, 1280}));
  EXPECT_EQ(result["recovery_mode"], "missed_prominent_people");
  EXPECT_EQ(result["foreground_crop_passes"], 1);
  EXPECT_EQ(decodedSizes_, (std::vector<std::pair<int64_t, int64_t>>{{2000, 1600}}));
}

TEST_F(PipelineTest, CropsAFullSizeAnalysedPictureWithoutAnyDecode) {
  ScriptedEngine engine(maskWithBlock(100, 80, 40, 20, 60, 68));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 10, 10);
  engine.analysed = std::make_shared<const UprightImage>(coordinateImage(100, 80));
  detector_.answer = [](const UprightImage&) { return std::vector<HumanObservation>{{0.9f, Rect{40, 10, 20, 60}}}; };
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(result["recovery_mode"], "missed_prominent_people");
  EXPECT_EQ(result["recovered_people_count"], 1);
  EXPECT_TRUE(decodedSizes_.empty());
}

TEST_F(PipelineTest, FailedCheckKeepsTheMaskAndReportsTheCode) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 100, 80));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 10, 10);

  detector_.answer = [](const UprightImage&) -> std::vector<HumanObservation> { throw std::runtime_error("broken"); };
  Json result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(result["recovery_mode"], "none");
  EXPECT_EQ(result["human_detection_passes"], 1);
  EXPECT_EQ(result["optional_recovery_error"], "native_failure");

  detector_.devices = [] { return ComputeStageDevices{}; };
  result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(result["human_detection_passes"], 0);
  EXPECT_EQ(result["optional_recovery_error"], "no_foreground");
}

TEST_F(PipelineTest, FailedRecoveryKeepsItsCropPasses) {
  // The person is large and uncovered, but the crop shows a figure cut off at the crop's side.
  ScriptedEngine engine(maskWithBlock(100, 80, 30, 20, 70, 68));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 10, 10);
  detector_.answer = [](const UprightImage&) {
    return std::vector<HumanObservation>{{0.9f, Rect{40, 10, 20, 60}}};
  };
  const Json result = runWith(engine, request(dir_ / "mask.png"));
  EXPECT_EQ(result["recovery_mode"], "none");
  EXPECT_EQ(result["human_detection_passes"], 1);
  EXPECT_EQ(result["foreground_crop_passes"], 1);
  EXPECT_EQ(result["optional_recovery_error"], "no_foreground");
}

TEST_F(PipelineTest, NothingFoundFallsBackToDistantPeople) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 0, 0));
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::noForeground);  // no observation
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 0, 0);
  engine.instances = {};
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::noForeground);  // no instances
  engine.instances = {1};
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::noForeground);  // degenerate
  EXPECT_EQ(detector_.seenSizes.size(), 3u * 10u);  // each time the whole image and nine tiles
  EXPECT_FALSE(fs::exists(dir_ / "mask.png"));

  detector_.answer = [](const UprightImage& image) {
    return image.width == 100 ? std::vector<HumanObservation>{{0.9f, Rect{40, 10, 20, 60}}}
                              : std::vector<HumanObservation>{};
  };
  ScriptedEngine scene(maskWithBlock(100, 80, 40, 20, 60, 68));
  const Json result = runWith(scene, request(dir_ / "mask.png"));
  EXPECT_EQ(result["recovery_mode"], "human_guided_crops");
  EXPECT_EQ(result["human_detection_passes"], 10);
  EXPECT_EQ(result["recovered_people_count"], 1);
  EXPECT_EQ(result["foreground_crop_passes"], 1);
}

TEST_F(PipelineTest, SegmentationFailuresMapToNativeFailure) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 50, 80));
  engine.wholeImageFailure = [] { throw std::runtime_error("runtime"); };
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::nativeFailure);
  engine.wholeImageFailure = nullptr;
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 50, 80);
  engine.scaledMaskMissing = true;
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::nativeFailure);
  engine.scaledMaskMissing = false;
  engine.wholeMask = maskWithBlock(99, 80, 0, 0, 50, 80);
  EXPECT_EQ(failureOf(engine, request(dir_ / "mask.png")), CutoutFailure::exportFailed);
  EXPECT_FALSE(fs::exists(dir_ / "mask.png"));
}

TEST_F(PipelineTest, PhaseFailureStopsTheRun) {
  ScriptedEngine engine(maskWithBlock(100, 80, 0, 0, 50, 80));
  engine.wholeMask = maskWithBlock(100, 80, 0, 0, 50, 80);
  CutoutServices services{engine, detector_, [&](const fs::path&) -> std::unique_ptr<ImageSource> {
                            return std::make_unique<HeaderSource>(properties_, decodedSizes_);
                          }};
  EXPECT_THROW(run(request(dir_ / "mask.png"),
                   [](std::string_view phase) {
                     if (phase == "running") throw std::runtime_error("disk full");
                   },
                   services),
               std::runtime_error);
  EXPECT_TRUE(engine.wholeImageRequests.empty());
}

}  // namespace
}  // namespace rezoro::cutout
