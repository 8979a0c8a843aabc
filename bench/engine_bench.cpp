// Speed of the per-frame paths: the descriptor, one read, a whole tracking frame.
#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "descriptor.hpp"
#include "memory_state.hpp"
#include "test_images.hpp"

namespace {

const cv::Rect kTeaching(390, 250, 220, 220);

// A textured object over another texture, moved by `shift` pixels to the left.
cv::Mat sceneFrame(int shift, uint64_t noiseSeed) {
  cv::Mat frame = texturedImage({640, 480}, 61);
  cv::Mat object = texturedImage({220, 220}, 62);
  cv::normalize(object, object, 0, 255, cv::NORM_MINMAX);
  object.copyTo(frame(kTeaching - cv::Point(shift, 0)));
  cv::Mat noise(frame.size(), CV_8UC1);
  cv::RNG(noiseSeed).fill(noise, cv::RNG::UNIFORM, 0, 6);
  return frame + noise;
}

// A memory taught the object as the program teaches it: 400 frames at the teaching rectangle.
CvAssociativeMemory& taughtMemory() {
  static CvAssociativeMemory memory;
  static bool taught = false;
  if (!taught) {
    memory.Create(220, 220, 3);
    const int32_t one = 1;
    for (int i = 0; i < 400; ++i) {
      const cv::Mat frame = sceneFrame(0, i);
      memory.SetImage(frame);
      memory.Write(kTeaching, &one);
    }
    taught = true;
  }
  return memory;
}

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

void BM_ReadTaughtObject(benchmark::State& state) {
  CvAssociativeMemory& memory = taughtMemory();
  const cv::Mat frame = sceneFrame(0, 999);
  memory.SetImage(frame);
  cv::Rect found;
  for (auto _ : state) benchmark::DoNotOptimize(memory.Read(kTeaching, found));
  state.counters["bases"] = memory.GetNodeCount();
}
BENCHMARK(BM_ReadTaughtObject);

void BM_TrackingFrame(benchmark::State& state) {
  CvAssociativeMemory& memory = taughtMemory();
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 16; ++i) frames.push_back(sceneFrame(8 * i, 1000 + i));
  size_t i = 0;
  for (auto _ : state) {
    memory.SetImage(frames[i++ % frames.size()]);
    memory.ObjectTracking([](int, uint32_t*, RcgAMResult*, void*) {}, nullptr, true, 0.54f, 0.45f);
  }
  state.counters["bases"] = memory.GetNodeCount();
}
BENCHMARK(BM_TrackingFrame)->Unit(benchmark::kMillisecond);

}  // namespace
