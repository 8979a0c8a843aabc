#include "condensation.hpp"

#include <algorithm>

namespace vizmoro::detail {

namespace {
// Fixed seed of dimension 0; dimension i uses kSeed + i.
constexpr uint64_t kSeed = 0x5eed0f5a11ce5ULL;
}  // namespace

ConDensation::ConDensation(int dynamParams, int measureParams, int samples)
    : DP(dynamParams),
      MP(measureParams),
      SamplesNum(samples),
      DynamMatr(cv::Mat_<float>::eye(dynamParams, dynamParams)),
      State(dynamParams, 0.0f),
      flSamples(static_cast<size_t>(samples) * dynamParams, 0.0f),
      flConfidence(samples, 1.0f / samples),
      flCumulative(samples, 0.0f),
      noiseRange_(dynamParams, 0.0f),
      mean_(dynamParams, 0.0f),
      scratch_(static_cast<size_t>(samples) * dynamParams, 0.0f) {
  for (int i = 0; i < DP; ++i) generators_.emplace_back(kSeed + i);
}

void ConDensation::InitSampleSet(const float* lower, const float* upper) {
  for (int s = 0; s < SamplesNum; ++s)
    for (int i = 0; i < DP; ++i) flSamples[s * DP + i] = generators_[i].uniform(lower[i], upper[i]);
  std::fill(flConfidence.begin(), flConfidence.end(), 1.0f / SamplesNum);
  for (int i = 0; i < DP; ++i) noiseRange_[i] = (upper[i] - lower[i]) / 5;
}

void ConDensation::UpdateByTime() {
  float total = 0;
  for (int s = 0; s < SamplesNum; ++s) {
    total += flConfidence[s];
    flCumulative[s] = total;
  }
  // A measurement far from every sample underflows every confidence: weigh them equally
  // instead of dividing by zero.
  if (total <= 0) {
    std::fill(flConfidence.begin(), flConfidence.end(), 1.0f);
    for (int s = 0; s < SamplesNum; ++s) flCumulative[s] = static_cast<float>(s + 1);
    total = static_cast<float>(SamplesNum);
  }

  std::vector<float>& mean = mean_;
  std::fill(mean.begin(), mean.end(), 0.0f);
  for (int s = 0; s < SamplesNum; ++s)
    for (int i = 0; i < DP; ++i) mean[i] += flConfidence[s] * flSamples[s * DP + i];
  for (int i = 0; i < DP; ++i) mean[i] /= total;
  for (int r = 0; r < DP; ++r) {
    float sum = 0;
    for (int i = 0; i < DP; ++i) sum += DynamMatr(r, i) * mean[i];
    State[r] = sum;
  }

  const float step = total / SamplesNum;
  int j = 0;
  for (int s = 0; s < SamplesNum; ++s) {
    const float level = s * step;
    while (j < SamplesNum - 1 && !(flCumulative[j] > level)) ++j;
    std::copy_n(&flSamples[j * DP], DP, &scratch_[s * DP]);
  }
  for (int s = 0; s < SamplesNum; ++s) {
    for (int r = 0; r < DP; ++r) {
      float sum = 0;
      for (int i = 0; i < DP; ++i) sum += DynamMatr(r, i) * scratch_[s * DP + i];
      flSamples[s * DP + r] = sum + generators_[r].uniform(-noiseRange_[r], noiseRange_[r]);
    }
  }
}

}  // namespace vizmoro::detail
