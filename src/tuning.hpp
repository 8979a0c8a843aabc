// The engine's fixed tuning numbers, gathered with what each one governs.
#ifndef VIZMORO_TUNING_HPP
#define VIZMORO_TUNING_HPP

#include <cstdint>

namespace vizmoro::detail {

struct Tuning {
  // Tracked objects unconfirmed for more calls than this are dropped.
  static constexpr uint64_t kTrackAge = 40;
  // Samples of each tracked object's condensation filter.
  static constexpr int kTrackSamples = 64;
  // The tree is pruned at every this many reads and writes...
  static constexpr uint64_t kPruneEvery = 100000000;
  // ...of the bases with at most this many hits.
  static constexpr uint64_t kPruneHits = 3;
  // Side and sigma of the Gaussian blur a mask is given.
  static constexpr int kMaskBlur = 17;
  // The whole-frame search's window sizes: the first and the step, as factors of the area.
  static constexpr float kFirstScale = 0.75f, kScaleStep = 0.25f;
};

}  // namespace vizmoro::detail

#endif  // VIZMORO_TUNING_HPP
