// The engine against OpenCV's trackers, in the same run, two ways.
//
// One box (--one-box): the one-pass evaluation of single-object benchmarks. Each tracker gets
// the first frame's boxes and nothing else, then reports a box or nothing on every later frame.
// It runs over the real sequences of a folder (default ../shared/data/real: each sequence a
// folder with img/*.jpg and truth.csv, "frame,x,y,w,h,visible" with frames from 0; skipped with
// a line when the folder is absent) and over generated clips in which objects leave and come
// back, one in which an object turns as it moves and one of a small ball moving fast (made with
// make_sample_clip into the work folder). Vizmoro's tracker runs as it is, and with its motion
// estimate (its correlation filter) alone, each also with optical flow as its motion estimate
// ("flow" and "flow-motion" for --only); OpenCV's CSRT, KCF, MedianFlow, TLD and MIL run one per
// object. Per sequence: success (IoU > 0.5), AUC, precision at 20 pixels, reports while out of
// sight, absences while in sight and milliseconds per frame, decoding included.
//
//   compare_trackers --one-box [--real DIR] [--clip-maker PATH] [--work DIR] [--threads N]
//                    [--json FILE] [--only NAME,...] [--starts N]
//
// --only keeps the sequences and trackers named (for example "Crossing,Vizmoro,CSRT"). --starts N
// also runs every tracker on each real sequence from N - 1 other first boxes, the truth's shifted
// and scaled a little, and adds the means over the N starts: one start's AUC swings widely with
// a few pixels of difference in its box. The generated clips keep their one start.
//
// A clip (--teach): every object in the truth's first frame is taught from its box there on the
// first frames (the clip holds it still), as vizmoro-cli's run does; OpenCV's KCF, CSRT and
// MedianFlow, one tracker per object, start on the truth box of the last teaching frame. All are
// scored on the frames after teaching: per object, the frames with IoU > 0.5 and the area under
// the success plot. The engine runs four times: with the memory's own search (--plain) and its
// tracking options off (--no-identities --seen-only --no-follow-size), on, and on but listing only
// the objects seen on each frame; and as vizmoro-cli runs by default, with the tracker.
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
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/tracking.hpp>
#include <opencv2/tracking/tracking_legacy.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/tracker.hpp>

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

// A tracker of OpenCV's legacy interface: MedianFlow, TLD.
TrackerKind Legacy(const std::string& name,
                   const std::function<cv::Ptr<cv::legacy::Tracker>()>& make) {
  auto tracker = std::make_shared<cv::Ptr<cv::legacy::Tracker>>(make());
  return {name,
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

TrackerKind MedianFlow() {
  return Legacy("MedianFlow", [] { return cv::legacy::TrackerMedianFlow::create(); });
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

// ---- One box -------------------------------------------------------------------------------

// A sequence to track from its first frame's boxes: a video, or a folder's images read as one
// (the pattern of their numbered names), and the truth as MOT detections (frames from 1; an
// object out of sight has none).
struct Sequence {
  std::string name;
  std::string video;
  std::vector<Detection> truth;
  int frames = 0;
  bool real = false;  // from a folder of images, not made here
};

class Frames {
 public:
  explicit Frames(const Sequence& s) : video_(s.video) {}
  bool Next(cv::Mat& frame) { return video_.read(frame) && !frame.empty(); }

 private:
  cv::VideoCapture video_;
};

struct Outcome {
  std::string method;
  Evaluation evaluation;
  int absentInSight = 0;                   // frames in sight without a report
  double msPerFrame = 0;                   // decoding included
  std::vector<vizmoro_cli::Score> starts;  // overall, from each start box: the truth's first
};

using Boxes = std::map<int32_t, cv::Rect>;  // by object

// The first frame's truth boxes.
Boxes FirstBoxes(const Sequence& s) {
  Boxes boxes;
  for (const Detection& d : s.truth)
    if (d.frame == 1) boxes[d.id] = cv::Rect(d.box);
  return boxes;
}

// The boxes to start from: the first frame's truth, then `count` - 1 others, each box shifted by
// up to 8 % of its width and height and scaled by 0.9 to 1.1 about its centre, in whole pixels
// within the frame. The seed is fixed and the same for every sequence, so that a sequence's boxes
// do not depend on the sequences run before it.
std::vector<Boxes> StartBoxes(const Sequence& s, int count) {
  std::vector<Boxes> starts = {FirstBoxes(s)};
  cv::Mat frame;
  Frames frames(s);
  if (count <= 1 || !frames.Next(frame)) return starts;
  const cv::Rect inside(0, 0, frame.cols, frame.rows);
  cv::RNG random(0x5eedULL);
  for (int k = 1; k < count; ++k) {
    Boxes boxes;
    for (const auto& [id, box] : starts.front()) {
      const double cx = box.x + box.width / 2.0 + random.uniform(-0.08, 0.08) * box.width;
      const double cy = box.y + box.height / 2.0 + random.uniform(-0.08, 0.08) * box.height;
      const double scale = random.uniform(0.9, 1.1);
      const double w = box.width * scale, h = box.height * scale;
      const cv::Rect moved =
          cv::Rect(cvRound(cx - w / 2), cvRound(cy - h / 2), cvRound(w), cvRound(h)) & inside;
      boxes[id] = moved.empty() ? box : moved;  // a truth box all outside the frame stays as is
    }
    starts.push_back(std::move(boxes));
  }
  return starts;
}

struct Means {
  double success = 0, auc = 0, precision = 0;
};

Means MeanOf(const std::vector<vizmoro_cli::Score>& starts) {
  Means m;
  for (const vizmoro_cli::Score& a : starts) {
    m.success += a.SuccessRate() / starts.size();
    m.auc += a.auc / starts.size();
    m.precision += a.Precision() / starts.size();
  }
  return m;
}

Outcome Score(const Sequence& s, const std::string& method, const std::vector<Detection>& found,
              double ms) {
  Outcome o;
  o.method = method;
  const vizmoro_cli::FrameRange scored{2, s.frames};
  o.evaluation = vizmoro_cli::Evaluate(found, s.truth, &scored);
  std::map<std::pair<int, int32_t>, bool> reported;
  for (const Detection& d : found) reported[{d.frame, d.id}] = true;
  for (const Detection& t : s.truth)
    if (t.frame >= 2 && !reported.count({t.frame, t.id})) ++o.absentInSight;
  o.msPerFrame = ms / s.frames;
  return o;
}

Outcome RunVizmoro(
    const Sequence& s, const std::string& method, bool confirm, const Boxes& first,
    vizmoro::TrackerParams::MotionEstimate motion = vizmoro::TrackerParams().motion) {
  Frames frames(s);
  CvAssociativeMemory memory;
  vizmoro::TrackerParams params;
  params.confirm = confirm;
  params.motion = motion;
  vizmoro::Tracker tracker(memory, params);
  std::vector<Detection> found;
  cv::Mat frame;
  const Clock::time_point start = Clock::now();
  for (int i = 0; frames.Next(frame); ++i) {
    if (i == 0) {
      for (const auto& [id, box] : first) tracker.Teach(frame, id, box);
      continue;
    }
    for (const vizmoro::TrackReport& r : tracker.Track(frame))
      if (r.present) found.push_back({i + 1, r.id, cv::Rect2d(r.box), r.confidence});
  }
  return Score(s, method, found, Milliseconds(Clock::now() - start));
}

Outcome RunOpenCvOneBox(const Sequence& s, const std::string& method, const Factory& make,
                        const Boxes& first) {
  Frames frames(s);
  std::vector<std::pair<int32_t, TrackerKind>> trackers;
  std::vector<Detection> found;
  cv::Mat frame;
  const Clock::time_point start = Clock::now();
  for (int i = 0; frames.Next(frame); ++i) {
    if (i == 0) {
      for (const auto& [id, box] : first) {
        trackers.emplace_back(id, make());
        trackers.back().second.start(frame, box);
      }
      continue;
    }
    for (auto& [id, tracker] : trackers) {
      cv::Rect box;
      if (tracker.update(frame, box)) found.push_back({i + 1, id, cv::Rect2d(box), 1.0});
    }
  }
  return Score(s, method, found, Milliseconds(Clock::now() - start));
}

std::vector<Sequence> RealSequences(const std::filesystem::path& folder) {
  std::vector<Sequence> sequences;
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    std::printf("No real sequences: %s is not a folder; they are left out.\n\n",
                folder.string().c_str());
    return sequences;
  }
  std::vector<std::filesystem::path> folders;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (entry.is_directory()) folders.push_back(entry.path());
  std::sort(folders.begin(), folders.end());
  for (const auto& f : folders) {
    Sequence s;
    s.name = f.filename().string();
    s.real = true;
    std::vector<cv::String> images;
    cv::glob((f / "img" / "*.jpg").string(), images, false);
    std::sort(images.begin(), images.end());
    std::string error;
    if (images.empty() ||
        !vizmoro_cli::ReadDetections((f / "truth.csv").string(), s.truth, error)) {
      std::printf("%s: no img/*.jpg or no truth.csv (%s); left out.\n", s.name.c_str(),
                  error.c_str());
      continue;
    }
    // img/0001.jpg, img/0002.jpg, ... read as the video img/%04d.jpg, as vizmoro-cli reads them.
    const std::string first = std::filesystem::path(images.front()).stem().string();
    s.video = (f / "img" / ("%0" + std::to_string(first.size()) + "d.jpg")).string();
    s.frames = static_cast<int>(images.size());
    sequences.push_back(std::move(s));
  }
  return sequences;
}

// Clips in which objects leave the frame and come back, one in which an object turns and one of
// a small, fast ball, made by make_sample_clip.
std::vector<Sequence> GeneratedClips(const std::string& maker, const std::filesystem::path& work) {
  std::vector<Sequence> clips;
  const std::vector<std::pair<std::string, std::string>> made = {
      {"away-1", "--scene away --seed 1"},
      {"away-2", "--scene away --seed 2"},
      {"multi", "--scene multi --hold 0 --frames 400"},
      {"turn", "--scene turn"},
      {"ball", "--scene ball"}};
  for (const auto& [name, options] : made) {
    Sequence s;
    s.name = name;
    s.video = (work / (name + ".avi")).string();
    const std::string truth = (work / (name + ".txt")).string();
    const std::string command = "'" + maker + "' " + options + " --output '" + s.video +
                                "' --truth '" + truth + "' > /dev/null";
    std::string error;
    if (std::system(command.c_str()) != 0 || !vizmoro_cli::ReadDetections(truth, s.truth, error)) {
      std::printf("%s: cannot be made (%s); left out.\n", name.c_str(), command.c_str());
      continue;
    }
    cv::VideoCapture video(s.video);
    s.frames = static_cast<int>(video.get(cv::CAP_PROP_FRAME_COUNT));
    clips.push_back(std::move(s));
  }
  return clips;
}

// The truth start's figures; with several starts, also their means and each start's AUC.
void PrintOneBox(const Sequence& s, const std::vector<Outcome>& outcomes) {
  const size_t starts = outcomes.empty() ? 1 : outcomes.front().starts.size();
  std::printf("### %s (%d frames, %zu object%s)\n\n", s.name.c_str(), s.frames,
              FirstBoxes(s).size(), FirstBoxes(s).size() == 1 ? "" : "s");
  std::printf(
      "| tracker | success | AUC | precision | reports while away | absent while in sight | ms "
      "per frame |");
  if (starts > 1)
    std::printf(
        " success, mean of %zu starts | AUC, mean of %zu starts | precision, mean of %zu starts | "
        "AUC per start (the truth's first) |",
        starts, starts, starts);
  std::printf("\n|---|---|---|---|---|---|---|%s\n", starts > 1 ? "---|---|---|---|" : "");
  for (const Outcome& o : outcomes) {
    const vizmoro_cli::Score& a = o.evaluation.overall;
    std::printf("| %s | %.3f | %.3f | %.3f | %lld / %lld | %d / %d | %.2f |", o.method.c_str(),
                a.SuccessRate(), a.auc, a.Precision(), static_cast<long long>(a.awayReports),
                static_cast<long long>(a.away), o.absentInSight, a.frames, o.msPerFrame);
    if (starts > 1) {
      const Means m = MeanOf(o.starts);
      std::printf(" %.3f | %.3f | %.3f |", m.success, m.auc, m.precision);
      for (size_t k = 0; k < o.starts.size(); ++k)
        std::printf("%s%.3f", k ? ", " : " ", o.starts[k].auc);
      std::printf(" |");
    }
    std::printf("\n");
  }
  std::printf("\n");
}

// Per real sequence and tracker, the mean AUC over the starts; last, each tracker's mean over
// the sequences.
void PrintStartsSummary(const std::vector<std::pair<std::string, std::vector<Outcome>>>& runs,
                        int starts) {
  if (runs.empty() || runs.front().second.empty()) return;
  const std::vector<Outcome>& first = runs.front().second;
  std::printf("### AUC, mean of %d starts (the real sequences)\n\n| sequence |", starts);
  for (const Outcome& o : first) std::printf(" %s |", o.method.c_str());
  std::printf("\n|---|");
  for (size_t t = 0; t < first.size(); ++t) std::printf("---|");
  std::printf("\n");
  std::vector<double> sum(first.size(), 0.0);
  for (const auto& [name, outcomes] : runs) {
    std::printf("| %s |", name.c_str());
    for (size_t t = 0; t < outcomes.size() && t < sum.size(); ++t) {
      const double auc = MeanOf(outcomes[t].starts).auc;
      sum[t] += auc;
      std::printf(" %.3f |", auc);
    }
    std::printf("\n");
  }
  std::printf("| mean of %zu sequence%s |", runs.size(), runs.size() == 1 ? "" : "s");
  for (double total : sum) std::printf(" %.3f |", total / runs.size());
  std::printf("\n\n");
}

// With `starts`, also the figures over the starts (of which a generated clip has one).
std::string JsonOf(const Sequence& s, const std::vector<Outcome>& outcomes, bool starts) {
  std::string json = "{\"sequence\": \"" + s.name + "\", \"frames\": " + std::to_string(s.frames) +
                     ", \"trackers\": [";
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const Outcome& o = outcomes[i];
    const vizmoro_cli::Score& a = o.evaluation.overall;
    char head[512];
    std::snprintf(head, sizeof head,
                  "%s{\"name\": \"%s\", \"success\": %.4f, \"auc\": %.4f, \"precision\": %.4f, "
                  "\"away\": %lld, \"awayReports\": %lld, \"inSight\": %d, \"absentInSight\": %d, "
                  "\"msPerFrame\": %.3f, ",
                  i ? ", " : "", o.method.c_str(), a.SuccessRate(), a.auc, a.Precision(),
                  static_cast<long long>(a.away), static_cast<long long>(a.awayReports), a.frames,
                  o.absentInSight, o.msPerFrame);
    json += head;
    if (starts) {
      const Means m = MeanOf(o.starts);
      std::snprintf(head, sizeof head,
                    "\"starts\": %zu, \"successMean\": %.4f, \"aucMean\": %.4f, "
                    "\"precisionMean\": %.4f, \"aucStarts\": [",
                    o.starts.size(), m.success, m.auc, m.precision);
      json += head;
      for (size_t k = 0; k < o.starts.size(); ++k) {
        char value[16];
        std::snprintf(value, sizeof value, "%s%.4f", k ? ", " : "", o.starts[k].auc);
        json += value;
      }
      json += "], ";
    }
    json += "\"curve\": [";
    for (int k = 0; k < vizmoro_cli::kThresholds; ++k) {
      char value[16];
      std::snprintf(value, sizeof value, "%s%.4f", k ? ", " : "", a.curve[k]);
      json += value;
    }
    json += "]}";
  }
  return json + "]}";
}

int OneBox(int argc, char** argv) {
  std::filesystem::path real = "../shared/data/real";
  std::filesystem::path work = std::filesystem::temp_directory_path() / "vizmoro-one-box";
  std::string maker, jsonFile, only;
  int starts = 1;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--real")
      real = value;
    else if (name == "--clip-maker")
      maker = value;
    else if (name == "--work")
      work = value;
    else if (name == "--threads")
      cv::setNumThreads(std::atoi(value.c_str()));
    else if (name == "--json")
      jsonFile = value;
    else if (name == "--only")
      only = "," + value + ",";
    else if (name == "--starts") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || n < 1 || n > 1000) {
        std::fprintf(stderr, "compare_trackers: --starts N, N from 1 to 1000, not %s\n",
                     value.c_str());
        return 1;
      }
      starts = static_cast<int>(n);
    }
  }
  // Whether --only keeps `name`, when it names any of `names` at all.
  auto kept = [&only](const std::string& name, const std::vector<std::string>& names) {
    const bool any = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return only.find("," + n + ",") != std::string::npos;
    });
    return !any || only.find("," + name + ",") != std::string::npos;
  };
  std::error_code made;
  std::filesystem::create_directories(work, made);
  std::vector<Sequence> sequences = RealSequences(real);
  if (maker.empty())
    std::printf("No --clip-maker: the generated clips are left out.\n\n");
  else
    for (Sequence& s : GeneratedClips(maker, work)) sequences.push_back(std::move(s));

  const std::vector<std::pair<std::string, Factory>> opencv = {
      {"CSRT", [] { return Modern("CSRT", [] { return cv::TrackerCSRT::create(); }); }},
      {"KCF", [] { return Modern("KCF", [] { return cv::TrackerKCF::create(); }); }},
      {"MedianFlow", MedianFlow},
      {"TLD", [] { return Legacy("TLD", [] { return cv::legacy::TrackerTLD::create(); }); }},
      {"MIL", [] { return Modern("MIL", [] { return cv::TrackerMIL::create(); }); }}};
  std::vector<std::string> sequenceNames,
      trackerNames = {"Vizmoro", "motion", "flow", "flow-motion"};
  for (const Sequence& s : sequences) sequenceNames.push_back(s.name);
  for (const auto& [name, make] : opencv) trackerNames.push_back(name);
  // Each kept sequence with its kept trackers, as runs from given first boxes.
  struct Runs {
    const Sequence* sequence;
    std::vector<std::function<Outcome(const Boxes&)>> trackers;
    std::vector<Outcome> outcomes;
  };
  std::vector<Runs> all;
  for (const Sequence& s : sequences) {
    if (!kept(s.name, sequenceNames)) continue;
    Runs runs{&s, {}, {}};
    if (kept("Vizmoro", trackerNames))
      runs.trackers.push_back([&s](const Boxes& b) { return RunVizmoro(s, "Vizmoro", true, b); });
    if (kept("motion", trackerNames))
      runs.trackers.push_back(
          [&s](const Boxes& b) { return RunVizmoro(s, "Vizmoro, motion alone", false, b); });
    constexpr auto kFlow = vizmoro::TrackerParams::MotionEstimate::kFlow;
    if (kept("flow", trackerNames))
      runs.trackers.push_back(
          [&s](const Boxes& b) { return RunVizmoro(s, "Vizmoro, optical flow", true, b, kFlow); });
    if (kept("flow-motion", trackerNames))
      runs.trackers.push_back(
          [&s](const Boxes& b) { return RunVizmoro(s, "optical flow alone", false, b, kFlow); });
    for (const auto& [name, make] : opencv)
      if (kept(name, trackerNames))
        runs.trackers.push_back([&s, &name = name, &make = make](const Boxes& b) {
          return RunOpenCvOneBox(s, name, make, b);
        });
    all.push_back(std::move(runs));
  }
  std::string json = "[";
  auto report = [&](const Runs& runs) {
    PrintOneBox(*runs.sequence, runs.outcomes);
    std::fflush(stdout);
    json += (json.size() > 1 ? ", " : "") + JsonOf(*runs.sequence, runs.outcomes, starts > 1);
  };
  for (Runs& runs : all) {
    for (const auto& run : runs.trackers) {
      runs.outcomes.push_back(run(FirstBoxes(*runs.sequence)));
      runs.outcomes.back().starts = {runs.outcomes.back().evaluation.overall};
    }
    if (starts == 1) report(runs);
  }
  // The other starts only once every truth start has run: TLD and MIL draw from OpenCV's and the
  // C library's global generators, and the truth starts' figures stay those of a run without the
  // others. Each of the others starts from the generators as a new process has them, so that its
  // figures do not depend on the runs before it.
  std::vector<std::pair<std::string, std::vector<Outcome>>> realRuns;
  if (starts > 1) {
    for (Runs& runs : all) {
      const std::vector<Boxes> boxes = StartBoxes(*runs.sequence, runs.sequence->real ? starts : 1);
      for (size_t t = 0; t < runs.trackers.size(); ++t)
        for (size_t k = 1; k < boxes.size(); ++k) {
          cv::theRNG() = cv::RNG();
          std::srand(1);
          runs.outcomes[t].starts.push_back(runs.trackers[t](boxes[k]).evaluation.overall);
        }
      report(runs);
      if (runs.sequence->real) realRuns.emplace_back(runs.sequence->name, runs.outcomes);
    }
  }
  json += "]\n";
  if (starts > 1) PrintStartsSummary(realRuns, starts);
  if (!jsonFile.empty()) {
    std::ofstream out(jsonFile);
    out << json;
    if (!out) {
      std::fprintf(stderr, "compare_trackers: cannot write %s\n", jsonFile.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--one-box") return OneBox(argc, argv);
  if (argc < 3) {
    std::fputs(
        "usage: compare_trackers CLIP TRUTH [--teach N] [--work DIR]\n"
        "       compare_trackers --one-box [--real DIR] [--clip-maker PATH] [--work DIR]\n"
        "                        [--threads N] [--json FILE] [--only NAME,...] [--starts N]\n",
        stderr);
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
      {"plain, options off", {"--plain", "--no-identities", "--seen-only", "--no-follow-size"}},
      {"plain, options on", {"--plain"}},
      {"plain, on, seen only", {"--plain", "--seen-only"}},
      {"tracker", {}}};
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
