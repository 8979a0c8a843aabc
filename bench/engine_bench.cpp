// Speed of the per-frame work at scale: a tracking pass (one ObjectTracking call, learning on,
// thresholds 0.54 and 0.45) over memories of 1,000, 5,000 and 20,000 bases, on frames of
// 640 x 480 and 1920 x 1080, with and without a mask, on 1 and 2 threads; SetImage apart; and the
// descriptor and a single read. Last, the tracker following one object across 640 x 480 frames
// on one thread.
//
// The memories are made by one recipe: 64 textured objects (220 x 220) are taught, one after the
// other and over and over, at places on a grid of a 640 x 480 textured scene, each write with
// noise of its own, until the memory holds the number of bases asked for. Every timed pass starts
// from that memory (restored from its packed data) after one untimed pass over the same frame, so
// that each measures the same work, in the state a clip's frames leave the memory and the caches;
// BM_FirstPassAfterLoading times the pass right after restoring instead. Run with
// --benchmark_format=json for tools/plot_bench.py; the report's context names the kernels used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "kernels.hpp"
#include "memory_state.hpp"
#include "test_images.hpp"
#include "vizmoro/tracker.hpp"

using namespace vizmoro::detail;

namespace {

// The kernels of the run (VIZMORO_FORCE_ISA forces them), in the report's context.
const bool kKernelsNoted = [] {
  benchmark::AddCustomContext("kernels", ActiveKernels().name);
  return true;
}();

constexpr int kObjects = 64;
const cv::Size kObjectSize(220, 220);

const std::vector<cv::Mat>& objects() {
  static const std::vector<cv::Mat> all = [] {
    std::vector<cv::Mat> made;
    for (int i = 0; i < kObjects; ++i) {
      cv::Mat object = texturedImage(kObjectSize, 100 + i);
      cv::normalize(object, object, 0, 255, cv::NORM_MINMAX);
      made.push_back(object);
    }
    return made;
  }();
  return all;
}

cv::Mat withNoise(const cv::Mat& image, uint64_t seed) {
  cv::Mat noise(image.size(), CV_8UC1);
  cv::RNG(seed).fill(noise, cv::RNG::UNIFORM, 0, 9);
  return image + noise;
}

// The packed data of a memory of at least `bases` bases, made by the recipe above.
const std::vector<uint8_t>& packedMemory(int bases) {
  static std::map<int, std::vector<uint8_t>> made;
  auto found = made.find(bases);
  if (found != made.end()) return found->second;
  CvAssociativeMemory memory;
  memory.Create(kObjectSize.width, kObjectSize.height, 3);
  const cv::Mat scene = texturedImage({640, 480}, 61);
  cv::Mat frame;
  for (uint64_t write = 0; memory.GetNodeCount() - 1 < bases; ++write) {
    const int object = static_cast<int>(write % kObjects);
    const int place = static_cast<int>((write / kObjects) % 12);
    const cv::Rect area(30 * (place % 4) + 20 * (place / 4), 40 * (place / 4), 220, 220);
    frame = scene.clone();
    objects()[object].copyTo(frame(area));
    frame = withNoise(frame, write);
    memory.SetImage(frame);
    const int32_t index = object + 1;
    memory.Write(area, &index);
  }
  std::vector<uint8_t> packed(static_cast<size_t>(memory.GetPackedSize()));
  memory.WritePackedData(packed.data());
  return made[bases] = packed;
}

// A frame with a few of the taught objects in it.
cv::Mat sceneFrame(cv::Size size) {
  cv::Mat frame = texturedImage(size, 62);
  for (int i = 0; i < 3; ++i) {
    const cv::Point corner((size.width - 220) * (i + 1) / 4, (size.height - 220) * (3 - i) / 4);
    objects()[7 * i].copyTo(frame(cv::Rect(corner, kObjectSize)));
  }
  return withNoise(frame, 99);
}

// A mask that hides blotches of the frame, as a hue mask does.
cv::Mat blotchMask(cv::Size size) {
  cv::Mat mask(size, CV_8UC1, cv::Scalar(255));
  cv::RNG rng(5);
  for (int i = 0; i < size.area() / 8000; ++i)
    cv::ellipse(mask, cv::Point(rng.uniform(0, size.width), rng.uniform(0, size.height)),
                cv::Size(rng.uniform(10, 50), rng.uniform(10, 50)), rng.uniform(0, 180), 0, 360,
                cv::Scalar(0), cv::FILLED);
  return mask;
}

cv::Size frameSize(int64_t code) {
  return code == 0 ? cv::Size(640, 480) : cv::Size(1920, 1080);
}

int levelOneBases(CvAssociativeMemory& memory) {
  int count = 0;
  for (const auto& child : CvAssociativeMemoryAccess::state(memory).root->children)
    count += child != nullptr;
  return count;
}

// Arguments: bases, frame (0: 640 x 480, 1: 1920 x 1080), masked, threads. `first`: time the
// first pass after loading instead, which also builds the tables it compares with.
void trackingPass(benchmark::State& state, bool first) {
  const int bases = static_cast<int>(state.range(0));
  const cv::Size size = frameSize(state.range(1));
  const bool masked = state.range(2) != 0;
  const int threads = static_cast<int>(state.range(3));
  const int previousThreads = cv::getNumThreads();
  cv::setNumThreads(threads);
  const std::vector<uint8_t>& packed = packedMemory(bases);
  const cv::Mat frame = sceneFrame(size), mask = blotchMask(size);
  CvAssociativeMemory memory;
  cv::Mat maskCopy;
  auto pass = [&] {
    memory.ObjectTracking([](int, uint32_t*, RcgAMResult*, void*) {}, nullptr, true,
                          vizmoro::kLearnThreshold, vizmoro::kTrackThreshold);
  };
  for (auto _ : state) {
    state.PauseTiming();
    memory.ReadPackedData(packed.data(), packed.size());
    mask.copyTo(maskCopy);  // SetImage blurs its mask
    memory.SetImage(frame, masked ? maskCopy : cv::Mat());
    if (!first) pass();  // as a clip's previous frame would
    state.ResumeTiming();
    pass();
  }
  memory.ReadPackedData(packed.data(), packed.size());
  state.counters["bases"] = memory.GetNodeCount() - 1;
  state.counters["level1"] = levelOneBases(memory);
  state.counters["threads"] = threads;
  state.counters["width"] = size.width;
  state.counters["masked"] = masked;
  cv::setNumThreads(previousThreads);
}

// Over repetitions (--benchmark_repetitions), the least: on a shared machine the others only add
// what other work took.
double Least(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

void BM_TrackingPass(benchmark::State& state) {
  trackingPass(state, false);
}
BENCHMARK(BM_TrackingPass)
    ->ArgNames({"bases", "frame", "masked", "threads"})
    ->ArgsProduct({{1000, 5000, 20000}, {0, 1}, {0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->ComputeStatistics("least", Least);

void BM_FirstPassAfterLoading(benchmark::State& state) {
  trackingPass(state, true);
}
BENCHMARK(BM_FirstPassAfterLoading)
    ->ArgNames({"bases", "frame", "masked", "threads"})
    ->ArgsProduct({{1000, 20000}, {0, 1}, {0}, {2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->ComputeStatistics("least", Least);

// SetImage alone: the integral image, and the blur of the mask when there is one.
void BM_SetImage(benchmark::State& state) {
  const cv::Size size = frameSize(state.range(0));
  const bool masked = state.range(1) != 0;
  const cv::Mat frame = sceneFrame(size), mask = blotchMask(size);
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  cv::Mat maskCopy;
  for (auto _ : state) {
    state.PauseTiming();
    mask.copyTo(maskCopy);
    state.ResumeTiming();
    memory.SetImage(frame, masked ? maskCopy : cv::Mat());
  }
  state.counters["width"] = size.width;
  state.counters["masked"] = masked;
}
BENCHMARK(BM_SetImage)
    ->ArgNames({"frame", "masked"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

void BM_CalcDescriptorProbe(benchmark::State& state) {
  const int cells = static_cast<int>(state.range(0));
  cv::Mat sum;
  cv::integral(texturedImage({640, 480}, 1), sum, CV_32S);
  std::vector<int16_t> values(cells * cells);
  int x = 0;
  for (auto _ : state) {
    CalcDescriptor(sum, x, 100, 220, 220, cells, cells, values.data(), cv::Mat());
    benchmark::DoNotOptimize(values.data());
    x = (x + 7) % 400;
  }
  state.SetItemsProcessed(state.iterations() * cells * cells);
}
BENCHMARK(BM_CalcDescriptorProbe)->Arg(4)->Arg(8)->Arg(16);

void BM_Read(benchmark::State& state) {
  const std::vector<uint8_t>& packed = packedMemory(static_cast<int>(state.range(0)));
  CvAssociativeMemory memory;
  memory.ReadPackedData(packed.data(), packed.size());
  const cv::Mat frame = sceneFrame({640, 480});
  memory.SetImage(frame);
  cv::Rect found;
  for (auto _ : state) benchmark::DoNotOptimize(memory.Read({200, 100, 220, 220}, found));
  state.counters["bases"] = memory.GetNodeCount() - 1;
}
BENCHMARK(BM_Read)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);

// A textured 40 x 90 object walking across a textured 640 x 480 scene, a little up and down:
// `count` frames with their sensor noise, the object drawn on the first `shown`; `boxes` gets its
// box on every frame.
std::vector<cv::Mat> WalkingObject(int count, int shown, std::vector<cv::Rect>& boxes) {
  const cv::Mat scene = texturedImage({640, 480}, 63), object = texturedImage({40, 90}, 64);
  std::vector<cv::Mat> frames;
  boxes.clear();
  for (int i = 0; i < count; ++i) {
    const cv::Rect box(100 + 4 * i, 200 + static_cast<int>(std::lround(10 * std::sin(i * 0.2))),
                       object.cols, object.rows);
    cv::Mat frame = scene.clone();
    if (i < shown) object.copyTo(frame(box));
    frames.push_back(withNoise(frame, i));
    boxes.push_back(box);
  }
  return frames;
}

// The tracker following the walking object from one box on the first frame: the time per frame
// tracked, the teaching apart. Each iteration starts afresh from an empty memory.
void BM_FollowOne(benchmark::State& state) {
  constexpr int kFrames = 60;
  std::vector<cv::Rect> boxes;
  const std::vector<cv::Mat> frames = WalkingObject(kFrames, kFrames, boxes);
  const int previousThreads = cv::getNumThreads();
  cv::setNumThreads(1);
  int64_t followed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    CvAssociativeMemory memory;
    vizmoro::Tracker tracker(memory);
    tracker.Teach(frames[0], 1, boxes[0]);
    state.ResumeTiming();
    for (int i = 1; i < kFrames; ++i)
      for (const vizmoro::TrackReport& report : tracker.Track(frames[i]))
        followed += report.present && (report.box & boxes[i]).area() * 2 > boxes[i].area();
  }
  cv::setNumThreads(previousThreads);
  state.SetItemsProcessed(state.iterations() * (kFrames - 1));
  state.counters["followed"] =
      static_cast<double>(followed) / static_cast<double>(state.iterations() * (kFrames - 1));
}
BENCHMARK(BM_FollowOne)->Unit(benchmark::kMillisecond)->ComputeStatistics("least", Least);

// The tracker looking for the walking object, followed for 30 frames, once it has left: the
// search's cost per frame while the object is absent (the frames before that are not timed).
void BM_LookForOne(benchmark::State& state) {
  constexpr int kFollowed = 30, kGone = 5, kFrames = 40;  // frames followed, leaving, timed
  std::vector<cv::Rect> boxes;
  const std::vector<cv::Mat> frames = WalkingObject(kFollowed + kGone + kFrames, kFollowed, boxes);
  const int previousThreads = cv::getNumThreads();
  cv::setNumThreads(1);
  int64_t reported = 0;
  for (auto _ : state) {
    state.PauseTiming();
    CvAssociativeMemory memory;
    vizmoro::Tracker tracker(memory);
    tracker.Teach(frames[0], 1, boxes[0]);
    for (int i = 1; i < kFollowed + kGone; ++i) tracker.Track(frames[i]);
    state.ResumeTiming();
    for (int i = kFollowed + kGone; i < kFollowed + kGone + kFrames; ++i)
      for (const vizmoro::TrackReport& report : tracker.Track(frames[i]))
        reported += report.present;
  }
  cv::setNumThreads(previousThreads);
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.counters["reported"] =
      static_cast<double>(reported) / static_cast<double>(state.iterations() * kFrames);
}
BENCHMARK(BM_LookForOne)->Unit(benchmark::kMillisecond)->ComputeStatistics("least", Least);

}  // namespace
