// The engine against OpenCV's trackers on one clip with a known truth, in the same run. Every
// object in the truth's first frame is taught from its box there on the first frames (the
// clip holds it still), as vizmoro-cli's run does; OpenCV's KCF, CSRT and MedianFlow, one
// tracker per object, start on the truth box of the last teaching frame. All are scored on the
// frames after teaching: per object, the frames with IoU > 0.5 and the area under the success
// plot. The engine runs three times: with the tracking options off (vizmoro-cli's
// --no-identities --seen-only --no-follow-size), as vizmoro-cli runs by default, and so but
// listing only the objects seen on each frame.
//
//   compare_trackers CLIP TRUTH [--teach N] [--work DIR]
//
// TRUTH is in the MOT format (make_sample_clip --scene multi or size writes it); N is the number
// of teaching frames (default 30); DIR holds the memories and results (default the system's
// temporary folder).
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/tracking.hpp>
#include <opencv2/tracking/tracking_legacy.hpp>
#include <opencv2/videoio.hpp>

#include "arguments.hpp"
#include "evaluation.hpp"
#include "mot.hpp"
#include "session.hpp"

namespace {

using vizmoro_cli::Detection;
using vizmoro_cli::Evaluation;

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Method {
  std::string name;
  Evaluation evaluation;
  double msPerFrame = 0;  // per tracked frame
};

struct Setup {
  std::string clip;
  std::filesystem::path work;
  int teach = 30;
  std::map<int32_t, cv::Rect> taught;  // by object ID: the box on the first frame
  vizmoro_cli::FrameRange scored;      // MOT frames (from 1)
  std::vector<Detection> truth;
};

// A vizmoro-cli run with `extra` options: teach on frames 0..teach-1, track the rest.
bool RunEngine(const Setup& setup, const std::string& name, const std::vector<std::string>& extra,
               Method& method) {
  const std::string memory = (setup.work / (name + ".dat")).string();
  const std::string results = (setup.work / (name + ".txt")).string();
  for (const std::string& file : {memory, memory + ".names", memory + ".lock", results}) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
  }
  std::vector<std::string> words = {"vizmoro-cli", "run", setup.clip};
  for (const auto& [id, box] : setup.taught) {
    words.push_back("--object");
    words.push_back(std::to_string(id) + ":object" + std::to_string(id) + ":" +
                    std::to_string(box.x) + "," + std::to_string(box.y) + "," +
                    std::to_string(box.width) + "," + std::to_string(box.height));
  }
  words.insert(words.end(), {"--frames", "0-" + std::to_string(setup.teach - 1), "--memory", memory,
                             "--results", results, "--quiet"});
  words.insert(words.end(), extra.begin(), extra.end());
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  vizmoro_cli::Arguments arguments;
  std::string error;
  if (!vizmoro_cli::ParseArguments(static_cast<int>(argv.size()), argv.data(), arguments, error)) {
    std::fprintf(stderr, "compare_trackers: %s\n", error.c_str());
    return false;
  }
  const Clock::time_point start = Clock::now();
  if (vizmoro_cli::RunSession(arguments, stdout, stderr) != vizmoro_cli::kExitOk) return false;
  const double ms = Milliseconds(Clock::now() - start);
  std::vector<Detection> found;
  if (!vizmoro_cli::ReadDetections(results, found, error)) {
    std::fprintf(stderr, "compare_trackers: %s\n", error.c_str());
    return false;
  }
  method.evaluation = vizmoro_cli::Evaluate(found, setup.truth, &setup.scored);
  method.msPerFrame = ms / (setup.scored.last - setup.scored.first + 1 + setup.teach);
  return true;
}

struct TrackerKind {
  std::string name;
  std::function<bool(const cv::Mat&, const cv::Rect&)> start;  // per object, made anew
  std::function<bool(const cv::Mat&, cv::Rect&)> update;
};

// Creates a tracker of `kind` for one object: its start and update.
using Factory = std::function<TrackerKind()>;

TrackerKind Modern(const std::string& name, const std::function<cv::Ptr<cv::Tracker>()>& make) {
  auto tracker = std::make_shared<cv::Ptr<cv::Tracker>>(make());
  return {
      name,
      [tracker](const cv::Mat& frame, const cv::Rect& box) {
        (*tracker)->init(frame, box);
        return true;
      },
      [tracker](const cv::Mat& frame, cv::Rect& box) { return (*tracker)->update(frame, box); }};
}

TrackerKind MedianFlow() {
  auto tracker =
      std::make_shared<cv::Ptr<cv::legacy::Tracker>>(cv::legacy::TrackerMedianFlow::create());
  return {"MedianFlow",
          [tracker](const cv::Mat& frame, const cv::Rect& box) {
            return (*tracker)->init(frame, cv::Rect2d(box));
          },
          [tracker](const cv::Mat& frame, cv::Rect& box) {
            cv::Rect2d found;
            if (!(*tracker)->update(frame, found)) return false;
            box = cv::Rect(found);
            return true;
          }};
}

// One pass over the clip with every OpenCV tracker of every kind.
bool RunOpenCv(const Setup& setup, std::vector<Method>& methods, double& decodeMs) {
  const std::vector<std::pair<std::string, Factory>> kinds = {
      {"KCF", [] { return Modern("KCF", [] { return cv::TrackerKCF::create(); }); }},
      {"CSRT", [] { return Modern("CSRT", [] { return cv::TrackerCSRT::create(); }); }},
      {"MedianFlow", MedianFlow}};
  struct Running {
    size_t kind;
    int32_t id;
    TrackerKind tracker;
    bool alive = true;
  };
  std::vector<Running> running;
  std::vector<std::vector<Detection>> found(kinds.size());
  std::vector<double> ms(kinds.size(), 0.0);
  std::map<int32_t, cv::Rect> start;  // the truth box of the last teaching frame
  for (const Detection& d : setup.truth)
    if (d.frame == setup.teach) start[d.id] = cv::Rect(d.box);

  cv::VideoCapture video(setup.clip);
  if (!video.isOpened()) {
    std::fprintf(stderr, "compare_trackers: cannot open %s\n", setup.clip.c_str());
    return false;
  }
  cv::Mat frame;
  int tracked = 0;
  Clock::duration decoding{};
  for (int i = 0;; ++i) {
    const Clock::time_point readStart = Clock::now();
    if (!video.read(frame) || frame.empty()) break;
    decoding += Clock::now() - readStart;
    const int motFrame = i + 1;
    if (motFrame > setup.scored.last) break;
    if (motFrame == setup.teach) {
      for (size_t k = 0; k < kinds.size(); ++k)
        for (const auto& [id, box] : start) {
          Running r{k, id, kinds[k].second()};
          const Clock::time_point t0 = Clock::now();
          r.alive = r.tracker.start(frame, box);
          ms[k] += Milliseconds(Clock::now() - t0);
          running.push_back(std::move(r));
        }
    } else if (motFrame > setup.teach) {
      ++tracked;
      for (Running& r : running) {
        if (!r.alive) continue;
        cv::Rect box;
        const Clock::time_point t0 = Clock::now();
        const bool ok = r.tracker.update(frame, box);
        ms[r.kind] += Milliseconds(Clock::now() - t0);
        if (ok) found[r.kind].push_back({motFrame, r.id, cv::Rect2d(box), 1.0});
      }
    }
  }
  decodeMs = tracked ? Milliseconds(decoding) / (tracked + setup.teach) : 0;
  for (size_t k = 0; k < kinds.size(); ++k) {
    Method method;
    method.name = kinds[k].first;
    method.evaluation = vizmoro_cli::Evaluate(found[k], setup.truth, &setup.scored);
    method.msPerFrame = tracked ? ms[k] / tracked : 0;
    methods.push_back(std::move(method));
  }
  return true;
}

std::string Cell(const vizmoro_cli::Score& s) {
  char text[64];
  std::snprintf(text, sizeof text, "%d / %d (%.1f %%), %.3f", s.success, s.frames,
                100 * s.SuccessRate(), s.auc);
  return text;
}

void PrintTable(const std::vector<Method>& methods) {
  std::printf("| object |");
  for (const Method& m : methods) std::printf(" %s |", m.name.c_str());
  std::printf("\n|---|");
  for (size_t i = 0; i < methods.size(); ++i) std::printf("---|");
  std::printf("\n");
  const std::vector<vizmoro_cli::Score>& objects = methods.front().evaluation.objects;
  for (size_t o = 0; o < objects.size(); ++o) {
    std::printf("| %d |", objects[o].id);
    for (const Method& m : methods) std::printf(" %s |", Cell(m.evaluation.objects[o]).c_str());
    std::printf("\n");
  }
  if (objects.size() > 1) {
    std::printf("| all |");
    for (const Method& m : methods) std::printf(" %s |", Cell(m.evaluation.overall).c_str());
    std::printf("\n");
  }
  std::printf("| reports while away |");
  for (const Method& m : methods)
    std::printf(" %lld / %lld |", static_cast<long long>(m.evaluation.overall.awayReports),
                static_cast<long long>(m.evaluation.overall.away));
  std::printf("\n| ms per frame |");
  for (const Method& m : methods) std::printf(" %.2f |", m.msPerFrame);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: compare_trackers CLIP TRUTH [--teach N] [--work DIR]\n", stderr);
    return 1;
  }
  Setup setup;
  setup.clip = argv[1];
  setup.work = std::filesystem::temp_directory_path();
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--teach")
      setup.teach = std::atoi(argv[i + 1]);
    else if (name == "--work")
      setup.work = argv[i + 1];
  }
  std::string error;
  if (setup.teach < 1 || !vizmoro_cli::ReadDetections(argv[2], setup.truth, error)) {
    std::fprintf(stderr, "compare_trackers: %s\n",
                 error.empty() ? "--teach N, N >= 1" : error.c_str());
    return 1;
  }
  int last = 0;
  for (const Detection& d : setup.truth) {
    if (d.frame == 1) setup.taught[d.id] = cv::Rect(d.box);
    last = std::max(last, d.frame);
  }
  setup.scored = {setup.teach + 1, last};
  if (setup.taught.empty() || last <= setup.teach) {
    std::fprintf(stderr, "compare_trackers: no object on the first frame, or no frame to score\n");
    return 1;
  }
  std::error_code made;
  std::filesystem::create_directories(setup.work, made);

  std::vector<Method> methods;
  const std::vector<std::pair<std::string, std::vector<std::string>>> engines = {
      {"options off", {"--no-identities", "--seen-only", "--no-follow-size"}},
      {"options on", {}},
      {"on, seen only", {"--seen-only"}}};
  for (const auto& [name, extra] : engines) {
    Method method;
    method.name = "Vizmoro, " + name;
    std::string file = name;
    for (char& c : file)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    if (!RunEngine(setup, "compare_" + file, extra, method)) return 1;
    methods.push_back(std::move(method));
  }
  double decodeMs = 0;
  if (!RunOpenCv(setup, methods, decodeMs)) return 1;

  std::printf(
      "%s: %zu objects, taught on frames 1-%d, scored on frames %d-%d (success: IoU > 0.5, "
      "then the AUC)\n\n",
      setup.clip.c_str(), setup.taught.size(), setup.teach, setup.scored.first, setup.scored.last);
  PrintTable(methods);
  std::printf(
      "\nThe engine's time per frame is the whole run's (decoding and teaching included); "
      "OpenCV's is the update alone. Decoding takes %.2f ms a frame.\n",
      decodeMs);
  return 0;
}
