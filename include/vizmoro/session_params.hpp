// The settings of a run that tracks and learns for a long time, as vizmoro-cli, the Python batch
// runner and the benchmarks use them: one record, so that every program starts from the same
// defaults.
//
// The memory itself keeps its plain defaults (LearningOptions{}, TrackingOptions{}, the
// demonstration's thresholds, a pruning save); a SessionParams is applied to it explicitly.
#ifndef VIZMORO_SESSION_PARAMS_HPP
#define VIZMORO_SESSION_PARAMS_HPP

#include "associative_memory.hpp"

namespace vizmoro {

// Bases a memory keeps at most by default: enough for the appearances of a few objects, few
// enough that a tracking pass stays about as fast as with a freshly taught memory.
constexpr int kDefaultBudget = 2000;

struct SessionParams {
  // ObjectTracking's learnThreshold and trackThreshold (the demonstration's).
  double learnThreshold = kLearnThreshold;
  double trackThreshold = kTrackThreshold;

  // The learning guard on, and a budget of kDefaultBudget bases.
  LearningOptions learning;

  // Sizes followed, identities kept apart, and unconfirmed tracks looked for again before they
  // are reported, so that an object not seen is known as such; the plain sweep.
  TrackingOptions tracking;

  // Whether a save keeps every base (SaveToFile's keepAll), rather than pruning the bases
  // learned three times or less.
  bool keepAll = true;

  constexpr SessionParams() {
    learning.guard = true;
    learning.budget = kDefaultBudget;
    tracking.followSize = true;
    tracking.keepIdentities = true;
    tracking.lookBeforeReport = true;
  }
};

}  // namespace vizmoro

#endif  // VIZMORO_SESSION_PARAMS_HPP
