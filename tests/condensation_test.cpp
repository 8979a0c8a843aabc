// The condensation filter that predicts a tracked object's displacement.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "condensation.hpp"

using namespace vizmoro::detail;

namespace {

const float kLower[2] = {-32, -32}, kUpper[2] = {32, 32};

// One measurement as tracking applies it: Gaussian confidences around (ux, uy), twice.
void measure(ConDensation& filter, float ux, float uy) {
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < filter.SamplesNum; ++i) {
      const double ex = ux - filter.flSamples[2 * i], ey = uy - filter.flSamples[2 * i + 1];
      filter.flConfidence[i] =
          static_cast<float>(std::exp(-ex * ex / 4096.0) * std::exp(-ey * ey / 4096.0));
    }
    filter.UpdateByTime();
  }
}

TEST(ConDensation, StartsAtZeroWithSamplesInsideTheBounds) {
  ConDensation filter(2, 2, 64);
  EXPECT_EQ(filter.State, (std::vector<float>{0, 0}));
  filter.InitSampleSet(kLower, kUpper);
  for (float v : filter.flSamples) {
    EXPECT_GE(v, -32);
    EXPECT_LE(v, 32);
  }
  for (float c : filter.flConfidence) EXPECT_EQ(c, 1.0f / 64);
}

TEST(ConDensation, EstimateFollowsAConstantDisplacement) {
  ConDensation filter(2, 2, 64);
  filter.InitSampleSet(kLower, kUpper);
  for (int i = 0; i < 30; ++i) measure(filter, 10, -6);
  EXPECT_NEAR(filter.State[0], 10, 3);
  EXPECT_NEAR(filter.State[1], -6, 3);
}

TEST(ConDensation, MeasurementFarFromEverySampleKeepsTheEstimateFinite) {
  ConDensation filter(2, 2, 64);
  filter.InitSampleSet(kLower, kUpper);
  measure(filter, 1e6f, -1e6f);
  EXPECT_TRUE(std::isfinite(filter.State[0]));
  EXPECT_TRUE(std::isfinite(filter.State[1]));
  for (float v : filter.flSamples) EXPECT_TRUE(std::isfinite(v));
  measure(filter, 4, 4);  // and it recovers
  EXPECT_TRUE(std::isfinite(filter.State[0]));
  EXPECT_LT(std::abs(filter.State[0]), 40);
}

TEST(ConDensation, RunsRepeatBitForBit) {
  auto run = [] {
    ConDensation filter(2, 2, 64);
    filter.InitSampleSet(kLower, kUpper);
    std::vector<float> estimates;
    for (int i = 0; i < 10; ++i) {
      measure(filter, static_cast<float>(i), static_cast<float>(-i));
      estimates.insert(estimates.end(), filter.State.begin(), filter.State.end());
    }
    return estimates;
  };
  const std::vector<float> a = run(), b = run();
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

TEST(ConDensation, ResamplingCopiesTheConfidentSamples) {
  ConDensation filter(2, 2, 4);
  const float lower[2] = {0, 0}, upper[2] = {0, 0};  // no noise
  filter.InitSampleSet(lower, upper);
  filter.flSamples = {1, 1, 2, 2, 3, 3, 4, 4};
  filter.flConfidence = {0, 0, 1, 0};
  filter.UpdateByTime();
  EXPECT_EQ(filter.State, (std::vector<float>{3, 3}));
  EXPECT_EQ(filter.flSamples, (std::vector<float>{3, 3, 3, 3, 3, 3, 3, 3}));
}

}  // namespace

namespace {

TEST(ConDensation, NoiseSpansAFifthOfTheBoundsOnEitherSide) {
  ConDensation filter(2, 2, 256);
  const float lower[2] = {-50, -10}, upper[2] = {50, 10};  // noise +-20 and +-4
  filter.InitSampleSet(lower, upper);
  std::fill(filter.flConfidence.begin(), filter.flConfidence.end(), 0.0f);
  filter.flConfidence[7] = 1.0f;  // every sample is resampled from this one
  const float x = filter.flSamples[14], y = filter.flSamples[15];
  filter.UpdateByTime();
  float spreadX = 0, spreadY = 0;
  for (int s = 0; s < 256; ++s) {
    const float dx = std::abs(filter.flSamples[2 * s] - x),
                dy = std::abs(filter.flSamples[2 * s + 1] - y);
    EXPECT_LE(dx, 20.0f);
    EXPECT_LE(dy, 4.0f);
    spreadX = std::max(spreadX, dx);
    spreadY = std::max(spreadY, dy);
  }
  EXPECT_GT(spreadX, 18.0f) << "the noise fills its range";
  EXPECT_GT(spreadY, 3.6f);
}

}  // namespace
