#include "cutout/segmentation/foreground_request.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

class TableEngine : public ForegroundEngine {
 public:
  explicit TableEngine(ComputeStageDevices table, bool throws = false) : table_(std::move(table)), throws_(throws) {}
  bool isAvailable() override { return true; }
  ComputeStageDevices supportedComputeStageDevices() override {
    if (throws_) throw std::runtime_error("query failed");
    return table_;
  }
  std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest&, const ImageRequestHandler&) override {
    throw std::logic_error("not performed here");
  }

 private:
  ComputeStageDevices table_;
  bool throws_;
};

constexpr ComputeDevice cpu0{ComputeDeviceKind::cpu, 0};
constexpr ComputeDevice cpu1{ComputeDeviceKind::cpu, 1};
constexpr ComputeDevice gpu0{ComputeDeviceKind::gpu, 0};
constexpr ComputeDevice gpu1{ComputeDeviceKind::gpu, 1};
constexpr ComputeDevice ane{ComputeDeviceKind::neuralEngine, 0};

bool refused(ComputeStageDevices table, bool throws = false) {
  TableEngine engine(std::move(table), throws);
  try {
    configuredRequest(engine);
  } catch (CutoutFailure failure) {
    return failure == CutoutFailure::unsupportedHardware;
  }
  return false;
}

ForegroundRequest configured(ComputeStageDevices table) {
  TableEngine engine(std::move(table));
  return configuredRequest(engine);
}

TEST(ConfiguredRequest, PicksAGpuForTheMainStageAndACpuElsewhere) {
  const ForegroundRequest request = configured({{ComputeStage::main, {ane, cpu0, gpu1, gpu0}},
                                                {ComputeStage::postProcessing, {ane, gpu0, cpu1, cpu0}}});
  EXPECT_EQ(request.computeDevices.at(ComputeStage::main), gpu1);
  EXPECT_EQ(request.computeDevices.at(ComputeStage::postProcessing), cpu1);
}

TEST(ConfiguredRequest, FallsBackToTheCpuOnMachinesWithoutAGpu) {
  const ForegroundRequest request = configured({{ComputeStage::main, {ane, cpu1, cpu0}}});
  EXPECT_EQ(request.computeDevices.at(ComputeStage::main), cpu1);
  EXPECT_EQ(request.computeDevices.size(), 1u);
  // Another stage without a CPU takes its GPU.
  const ForegroundRequest other = configured({{ComputeStage::postProcessing, {ane, gpu1}},
                                              {ComputeStage::main, {cpu0}}});
  EXPECT_EQ(other.computeDevices.at(ComputeStage::postProcessing), gpu1);
}

TEST(ConfiguredRequest, RefusesMachinesThatCannotRunIt) {
  EXPECT_TRUE(refused({}));
  EXPECT_TRUE(refused({{ComputeStage::main, {cpu0}}}, true));
  EXPECT_TRUE(refused({{ComputeStage::postProcessing, {cpu0}}}));
  EXPECT_TRUE(refused({{ComputeStage::main, {ane}}}));
  EXPECT_TRUE(refused({{ComputeStage::main, {}}}));
  EXPECT_TRUE(refused({{ComputeStage::main, {gpu0}}, {ComputeStage::postProcessing, {ane}}}));
  EXPECT_TRUE(refused({{ComputeStage::main, {gpu0}}, {ComputeStage::postProcessing, {}}}));
}

}  // namespace
}  // namespace rezoro::cutout
