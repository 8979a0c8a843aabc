// The learning and tracking options, and the base budget.
#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "memory_state.hpp"

using namespace vizmoro;
using namespace vizmoro::detail;

namespace {

// The most window sizes a search may sweep, and where a sweep without sweepTo is counted to
// (times the area, or times sweepFrom when that is larger).
constexpr double kMaxSweepSizes = 64;
constexpr double kOpenSweepEnd = 16;

}  // namespace

void CvAssociativeMemory::SetLearningOptions(const LearningOptions& options) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "SetLearningOptions");
  if (options.budget < 0)
    AM_REPORT(cv::Error::StsOutOfRange, "SetLearningOptions", "The base budget is negative");
  if (options.establishedAfter < 1)
    AM_REPORT(cv::Error::StsOutOfRange, "SetLearningOptions",
              "A track is established after one confirmation at least");
  state->learning = options;
}

LearningOptions CvAssociativeMemory::GetLearningOptions() const {
  return state->learning;
}

void CvAssociativeMemory::SetTrackingOptions(const TrackingOptions& options) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "SetTrackingOptions");
  const TrackingOptions& o = options;
  if (!std::isfinite(o.sweepFrom) || !std::isfinite(o.sweepStep) || !std::isfinite(o.sweepTo) ||
      !std::isfinite(o.followFrom) || !std::isfinite(o.followTo))
    AM_REPORT(cv::Error::StsOutOfRange, "SetTrackingOptions",
              "The sizes of the search and of following must be finite numbers");
  if (!(o.sweepFrom > 0) || !(o.sweepStep > 0) || o.sweepTo < 0 || !(o.followFrom > 0) ||
      !(o.followTo >= o.followFrom))
    AM_REPORT(cv::Error::StsOutOfRange, "SetTrackingOptions",
              "The sizes of the search or of following must be above 0 and in order");
  // Every size costs a whole-frame search: a step too fine for its range would never end.
  const double end = o.sweepTo > 0 ? o.sweepTo : kOpenSweepEnd * std::max(1.0, o.sweepFrom);
  if ((end + 1e-9 - o.sweepFrom) / o.sweepStep >= kMaxSweepSizes)
    AM_REPORT(cv::Error::StsOutOfRange, "SetTrackingOptions",
              "The search sweeps more than 64 sizes");
  state->tracking = options;
}

TrackingOptions CvAssociativeMemory::GetTrackingOptions() const {
  return state->tracking;
}

namespace {

struct Leaf {
  uint64_t hits, id;
  AssocNode* node;
};

struct Place {
  AssocNode* parent;
  size_t slot;
};

void collect(AssocNode& node, std::vector<Leaf>& leaves,
             std::unordered_map<AssocNode*, Place>& places) {
  for (size_t slot = 0; slot < node.children.size(); ++slot) {
    AssocNode* child = node.children[slot].get();
    if (!child) continue;
    places[child] = Place{&node, slot};
    const bool leaf = std::none_of(child->children.begin(), child->children.end(),
                                   [](const auto& c) { return c != nullptr; });
    if (leaf)
      leaves.push_back(Leaf{child->header.hits, child->header.id, child});
    else
      collect(*child, leaves, places);
  }
}

bool hasChild(const AssocNode& node) {
  return std::any_of(node.children.begin(), node.children.end(),
                     [](const auto& c) { return c != nullptr; });
}

}  // namespace

void CvAssociativeMemoryState::keepWithinBudget() {
  const int budget = learning.budget;
  if (budget <= 0 || !root || context.nodeCount - 1 <= budget) return;
  // Down to nine tenths, so that the next removal comes only after some learning.
  const int target = budget - budget / 10;
  std::vector<Leaf> leaves;
  std::unordered_map<AssocNode*, Place> places;
  collect(*root, leaves, places);
  std::unordered_map<int32_t, int> branches;  // leaves per object index
  for (const Leaf& leaf : leaves) ++branches[leaf.node->header.data];
  std::sort(leaves.begin(), leaves.end(), [](const Leaf& a, const Leaf& b) {
    return a.hits != b.hits ? a.hits < b.hits : a.id < b.id;
  });
  for (const Leaf& leaf : leaves) {
    if (context.nodeCount - 1 <= target) break;
    int& left = branches[leaf.node->header.data];
    if (left <= 1) continue;  // an object's last branch
    --left;
    // The leaf, and every base above it that it leaves without children.
    for (AssocNode* node = leaf.node;;) {
      const Place place = places.at(node);
      place.parent->children[place.slot].reset();
      if (place.parent == root.get() || hasChild(*place.parent)) break;
      node = place.parent;
    }
  }
}
