// A condensation (particle) filter: DP state dimensions, N weighted samples, a linear dynamics
// model and uniform noise per dimension. Seeded with fixed values, so runs repeat bit for bit.
#ifndef VIZMORO_CONDENSATION_HPP
#define VIZMORO_CONDENSATION_HPP

#include <vector>

#include <opencv2/core.hpp>

namespace vizmoro::detail {

class ConDensation {
 public:
  // The estimate starts at zero; DynamMatr starts as the identity.
  ConDensation(int dynamParams, int measureParams, int samples);

  // Draws every sample component i uniformly from [lower[i], upper[i]], gives every sample the
  // same confidence, and sets the noise of dimension i to +-(upper[i] - lower[i]) / 5.
  void InitSampleSet(const float* lower, const float* upper);

  // After the caller wrote flConfidence: State = DynamMatr x the confidence-weighted mean of
  // the samples; then resamples by confidence and moves every sample by the dynamics and noise.
  void UpdateByTime();

  const int DP, MP, SamplesNum;
  cv::Mat_<float> DynamMatr;        // DP x DP
  std::vector<float> State;         // DP
  std::vector<float> flSamples;     // SamplesNum x DP, sample by sample
  std::vector<float> flConfidence;  // SamplesNum
  std::vector<float> flCumulative;  // running sums of the confidences

 private:
  std::vector<cv::RNG> generators_;  // one per state dimension
  std::vector<float> noiseRange_;    // half-width of each dimension's noise
  std::vector<float> mean_;
  std::vector<float> scratch_;
};

}  // namespace vizmoro::detail

#endif  // VIZMORO_CONDENSATION_HPP
