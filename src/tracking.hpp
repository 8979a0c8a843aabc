// Decisions of tracking that depend only on numbers, kept apart so that their boundaries can be
// checked exactly.
#ifndef VIZMORO_TRACKING_HPP
#define VIZMORO_TRACKING_HPP

#include <cstdint>

// Tracked objects unconfirmed for more calls than this are dropped.
constexpr uint64_t kTrackAge = 40;

struct ReacquisitionOutcome {
  bool confirm;
  bool relearn;
};

// What the best of the extra reads around an unconfirmed tracked object leads to.
inline ReacquisitionOutcome reacquisitionOutcome(bool learning, bool sameIndex, double similarity,
                                                 uint64_t hits, double trackThreshold) {
  if (!learning || !sameIndex || !(similarity > trackThreshold)) return {false, false};
  return {true, similarity < 0.5 && hits > 50};
}

#endif  // VIZMORO_TRACKING_HPP
