// Whole scenarios of teaching and tracking, reduced to a digest of every event and of the memory
// they leave. The digests were taken from the engine as it was before its options existed, so
// that no later change (an option left off, a faster walk) can alter an answer unnoticed. Each
// tracking call is also described by a line kept in data/scenarios, so that a changed digest
// comes with the first call that answers otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "event_recorder.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"

using namespace vizmoro::detail;
using vizmoro_test::Event;
using vizmoro_test::EventRecorder;

namespace {

// FNV-1a over whatever is fed to it.
struct Digest {
  uint64_t value = 1469598103934665603ULL;
  void add(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) value = (value ^ bytes[i]) * 1099511628211ULL;
  }
  template <typename T>
  void add(const T& v) {
    add(&v, sizeof v);
  }
  void add(const Event& e) {
    add(e.code);
    if (e.code == RCG_AM_BEGIN || e.code == RCG_AM_END) return;  // they pass no object
    add(e.index);
    add(e.result.rect);  // x, y, width, height
    add(e.result.similarity);
    add(e.result.bases);
    add(e.result.userSlot != nullptr);
  }
};

uint64_t packedDigest(const CvAssociativeMemory& memory) {
  std::vector<uint8_t> packed(static_cast<size_t>(memory.GetPackedSize()));
  memory.WritePackedData(packed.data());
  Digest d;
  d.add(packed.data(), packed.size());
  return d.value;
}

struct Outcome {
  Digest events;
  uint64_t memory = 0;
  int relearns = 0, tracks = 0, matches = 0, bases = 0;
  int firstLevel = 0,
      firstLevelWithEmpty = 0;     // bases at the first level, and those with empty values
  std::vector<std::string> calls;  // one line a tracking call

  // One tracking call: its window reads (how many, how many matched, their digest), the memory
  // it leaves (bases and digest) and every object it reported.
  void track(CvAssociativeMemory& memory, double learnThreshold, double trackThreshold) {
    EventRecorder recorder;
    memory.ObjectTracking(EventRecorder::callback, &recorder, true, learnThreshold, trackThreshold);
    Digest reads;
    int windows = 0, matched = 0;
    std::ostringstream reports;
    reports.precision(17);
    for (const Event& e : recorder.events) {
      events.add(e);
      relearns += e.code == RCG_AM_RELEARN;
      tracks += e.code == RCG_AM_TRACK;
      matched += e.code == RCG_AM_MATCH;
      if (e.code == RCG_AM_NO_MATCH || e.code == RCG_AM_MATCH) {
        reads.add(e);
        ++windows;
      } else if (e.code == RCG_AM_TRACK || e.code == RCG_AM_RELEARN) {
        reports << (e.code == RCG_AM_TRACK ? " | track " : " | relearn ") << e.index << " "
                << e.result.rect << " " << e.result.similarity << " " << e.result.bases
                << (e.result.userSlot ? " slot" : "");
      }
    }
    matches += matched;
    std::ostringstream line;
    line << "reads " << windows << " matched " << matched << " " << std::hex << reads.value
         << std::dec << " | bases " << memory.GetNodeCount() << " " << std::hex
         << packedDigest(memory) << reports.str();
    calls.push_back(line.str());
  }
};

// What a scenario must give, masked or not.
struct Expected {
  bool masked;
  uint64_t events, memory;
  int relearns, matches, bases;
};

// Compares the calls with the lines kept for `name` and names the first call that differs.
// VIZMORO_WRITE_SCENARIOS=1 writes the lines instead, for a change meant to alter the answers.
void expectCalls(const std::vector<std::string>& calls, const std::string& name) {
  const std::filesystem::path file =
      std::filesystem::path(VIZMORO_TESTS_DIR) / "data" / "scenarios" / (name + ".txt");
  if (std::getenv("VIZMORO_WRITE_SCENARIOS")) {
    std::ofstream out(file);
    for (const std::string& call : calls) out << call << '\n';
    return;
  }
  std::ifstream in(file);
  ASSERT_TRUE(in) << "cannot read " << file;
  std::vector<std::string> kept;
  for (std::string line; std::getline(in, line);) kept.push_back(line);
  for (size_t i = 0; i < std::max(calls.size(), kept.size()); ++i) {
    const std::string expected = i < kept.size() ? kept[i] : "no call";
    const std::string actual = i < calls.size() ? calls[i] : "no call";
    if (expected != actual) {
      ADD_FAILURE() << "tracking call " << i << " of " << name << " is the first to differ"
                    << "\n  expected: " << expected << "\n  actual:   " << actual;
      return;
    }
  }
}

void expectOutcome(const Outcome& o, const Expected& e, const std::string& scenario) {
  expectCalls(o.calls, scenario + (e.masked ? "_masked" : "_unmasked"));
  EXPECT_EQ(o.relearns, e.relearns);
  EXPECT_EQ(o.matches, e.matches);
  EXPECT_EQ(o.bases, e.bases);
  EXPECT_EQ(o.events.value, e.events);
  EXPECT_EQ(o.memory, e.memory);
}

// Runs a scenario unmasked and masked with each count of threads reading the windows.
template <typename Run>
void expectOnThreads(std::initializer_list<int> counts, const Expected (&expected)[2],
                     const std::string& scenario, Run run) {
  const int threads = cv::getNumThreads();
  for (int n : counts) {
    SCOPED_TRACE(n);
    cv::setNumThreads(n);
    for (const Expected& e : expected) {
      SCOPED_TRACE(e.masked ? "masked" : "unmasked");
      expectOutcome(run(e.masked), e, scenario);
    }
  }
  cv::setNumThreads(threads);
}

// A textured object over another texture, at `corner`, changed by `change` (0 to 1) towards
// another look, with a little noise of its own.
cv::Mat sceneFrame(cv::Point corner, double change, int seed, const cv::Mat& background,
                   cv::Mat object, const cv::Mat& other) {
  if (change != 0) cv::addWeighted(object, 1 - change, other, change, 0, object);
  cv::Mat frame = background.clone();
  const cv::Rect place(corner, object.size());
  const cv::Rect visible = place & cv::Rect(0, 0, frame.cols, frame.rows);
  if (!visible.empty()) object(visible - corner).copyTo(frame(visible));
  cv::Mat noise(frame.size(), CV_8UC1);
  cv::RNG(seed).fill(noise, cv::RNG::UNIFORM, 0, 9);
  return frame + noise;
}

// A mask of blotches that hide parts of a 480 x 360 frame, other ones for every seed.
cv::Mat blotches(int seed) {
  cv::Mat mask(360, 480, CV_8UC1, cv::Scalar(255));
  cv::RNG rng(seed);
  for (int k = 0; k < 12; ++k)
    cv::ellipse(mask, cv::Point(rng.uniform(0, 480), rng.uniform(0, 360)),
                cv::Size(rng.uniform(10, 60), rng.uniform(10, 60)), rng.uniform(0, 180), 0, 360,
                cv::Scalar(0), cv::FILLED);
  return mask;
}

// Teaches an object for 30 frames, then tracks it for 60 while it moves away, leaves and comes
// back, on masked frames when `masked`.
Outcome runScenario(bool masked, const LearningOptions& options = {}) {
  const cv::Mat background = texturedImage({480, 360}, 5);
  cv::Mat object = texturedImage({160, 160}, 6);
  cv::normalize(object, object, 0, 255, cv::NORM_MINMAX);
  CvAssociativeMemory memory;
  memory.Create(160, 160, 3);
  memory.SetLearningOptions(options);
  const cv::Point taught(200, 120);
  Outcome o;
  std::vector<cv::Mat> keep;  // the frames stay alive while the memory looks at them
  const cv::Mat other = texturedImage({160, 160}, 7);
  auto show = [&](cv::Point corner, double change, int seed) {
    keep.push_back(sceneFrame(corner, change, seed, background, object, other));
    const cv::Mat mask = masked ? blotches(seed) : cv::Mat();
    if (masked) keep.push_back(mask);
    memory.SetImage(keep[keep.size() - (masked ? 2 : 1)], mask);
  };
  const int32_t one = 1;
  for (int i = 0; i < 60; ++i) {
    show(taught + cv::Point(i % 3, i % 2), 0, i);
    memory.Write(cv::Rect(taught, cv::Size(160, 160)), &one);
  }
  for (int i = 0; i < 60; ++i) {
    const cv::Point corner = i < 25   ? taught - cv::Point(7 * i, 2 * i)
                             : i < 35 ? cv::Point(-400, -400)
                                      : taught + cv::Point(3 * (i - 35), 0);
    show(corner, 0.004 * i, 100 + i);
    o.track(memory, 0.7, 0.45f);
  }
  o.memory = packedDigest(memory);
  o.bases = memory.GetNodeCount();
  return o;
}

TEST(Scenario, OptionsOffGiveTheEventsAndTheMemoryOfTheEngineWithoutOptions) {
  // Whatever the threads that read the windows.
  const Expected expected[] = {
      {false, 0x20a4969de52d3254ULL, 0xcb067baa2921981bULL, 47, 143, 9},
      {true, 0x7d141027bdf926f5ULL, 0x0ac9f5d71f687c47ULL, 21, 64, 9},
  };
  expectOnThreads({1, 2, 4}, expected, "moving", [](bool masked) {
    const Outcome o = runScenario(masked);
    EXPECT_EQ(o.tracks, 60);
    return o;
  });
}

// A memory of many objects taught at many places, a third of them through a mask, so that its
// first level holds hundreds of bases, some with empty values; then passes of tracking with
// learning over frames with three of the objects moving, masked when `masked`.
Outcome runCrowdedScenario(bool masked) {
  const cv::Mat background = texturedImage({480, 360}, 11);
  std::vector<cv::Mat> objects;
  for (int i = 0; i < 24; ++i) {
    objects.push_back(texturedImage({120, 120}, 200 + i));
    cv::normalize(objects.back(), objects.back(), 0, 255, cv::NORM_MINMAX);
  }
  CvAssociativeMemory memory;
  memory.Create(120, 120, 3);
  cv::Mat frame, mask;
  for (int write = 0; write < 480; ++write) {
    const int object = write % 24, place = (write / 24) % 10;
    const cv::Rect area(40 * (place % 5) + 10 * (place / 5), 50 * (place / 5) + 20, 120, 120);
    frame = background.clone();
    objects[object].copyTo(frame(area));
    cv::Mat noise(frame.size(), CV_8UC1);
    cv::RNG(write).fill(noise, cv::RNG::UNIFORM, 0, 9);
    frame += noise;
    mask = write % 3 == 0 ? blotches(write) : cv::Mat();
    memory.SetImage(frame, mask);
    const int32_t index = object + 1;
    memory.Write(area, &index);
  }
  Outcome o;
  for (int pass = 0; pass < 16; ++pass) {
    frame = background.clone();
    for (int i = 0; i < 3; ++i)
      objects[5 * i].copyTo(frame(cv::Rect(20 + 120 * i + 3 * pass, 10 + 90 * i + pass, 120, 120)));
    cv::Mat noise(frame.size(), CV_8UC1);
    cv::RNG(1000 + pass).fill(noise, cv::RNG::UNIFORM, 0, 9);
    frame += noise;
    mask = masked ? blotches(1000 + pass) : cv::Mat();
    memory.SetImage(frame, mask);
    o.track(memory, 0.54, 0.45);
  }
  o.memory = packedDigest(memory);
  o.bases = memory.GetNodeCount();
  for (const auto& child : stateOf(memory).root->children) {
    if (!child) continue;
    ++o.firstLevel;
    const int n = child->cols * child->rows;
    o.firstLevelWithEmpty +=
        std::count(child->values.get(), child->values.get() + n, AM_EMPTY_CELL) > 0;
  }
  return o;
}

TEST(Scenario, CrowdedMemoriesGiveTheEventsAndTheMemoryOfThePlainComparison) {
  // The digests were taken from the engine when it compared every child plainly and read the
  // windows on one thread.
  const Expected expected[] = {
      {false, 14496087910025409449ULL, 4950869261830912633ULL, 3, 48, 471},
      {true, 9898739966985790608ULL, 1063007440293210871ULL, 3, 48, 471},
  };
  expectOnThreads({1, 2}, expected, "crowded", [](bool masked) {
    const Outcome o = runCrowdedScenario(masked);
    // Enough children for several vectors of the widest sweep, some with empty values.
    EXPECT_GT(o.firstLevel, 64);
    EXPECT_GT(o.firstLevelWithEmpty, 0);
    return o;
  });
}

}  // namespace
