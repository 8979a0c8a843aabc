// A caller with names of its own: with VIZMORO_NO_GLOBAL_NAMES the engine declares nothing in the
// global namespace, so a caller's TrackingOptions and RCG_AM_TRACK live beside the engine's.
#include <gtest/gtest.h>

#include <type_traits>

#include "vizmoro/associative_memory.hpp"

#ifndef VIZMORO_NO_GLOBAL_NAMES
#error "this suite is compiled with VIZMORO_NO_GLOBAL_NAMES"
#endif

// The caller's own names, which the engine's global aliases would clash with.
struct TrackingOptions {
  int frames = 0;
};
constexpr int RCG_AM_TRACK = -1;

namespace {

TEST(NamespaceTest, EngineNamesLiveInVizmoroBesideTheCallersOwn) {
  static_assert(!std::is_same_v<TrackingOptions, vizmoro::TrackingOptions>);
  static_assert(RCG_AM_TRACK != vizmoro::RCG_AM_TRACK);
  vizmoro::CvAssociativeMemory memory;
  memory.Create(80, 80, 2);
  vizmoro::TrackingOptions options;
  options.keepIdentities = true;
  memory.SetTrackingOptions(options);
  EXPECT_TRUE(memory.GetTrackingOptions().keepIdentities);
  EXPECT_EQ(memory.GetNodeCount(), 1);
}

}  // namespace
