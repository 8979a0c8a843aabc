#include "show.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "annotation.hpp"
#include "frame_source.hpp"
#include "memory_loading.hpp"
#include "mot.hpp"
#include "output.hpp"
#include "output_files.hpp"
#include "process_setup.hpp"
#include "video_output.hpp"

namespace vizmoro_cli {

namespace {

using Outcome = vizmoro::FrameSource::Outcome;
using Boxes = std::multimap<int, Detection>;  // by frame, from 1

Boxes ByFrame(const std::vector<Detection>& detections) {
  Boxes boxes;
  for (const Detection& d : detections) boxes.emplace(d.frame, d);
  return boxes;
}

cv::Rect Pixels(const cv::Rect2d& box) {
  return cv::Rect(static_cast<int>(std::lround(box.x)), static_cast<int>(std::lround(box.y)),
                  static_cast<int>(std::lround(box.width)),
                  static_cast<int>(std::lround(box.height)));
}

class ShowRun {
 public:
  explicit ShowRun(const Arguments& a) : a_(a) {}

  // The exit code.
  int Run(std::FILE* messages) {
    RefuseOverwrites();
    Read(a_.resultsFile, results_);
    Read(a_.truthFile, truth_);
    OpenVideo();
    for (const ObjectSpec& object : a_.objects)
      if ((object.box & cv::Rect(cv::Point(), frame_.size())) != object.box)
        throw Failure{kExitUsage, "the box of object " + std::to_string(object.id) +
                                      " reaches outside the frames of " +
                                      std::to_string(frame_.cols) + " x " +
                                      std::to_string(frame_.rows)};
    if (a_.frame >= 0)
      DrawImage();
    else
      DrawVideo(messages);
    return code_;
  }

  // Whether the capture never came back from an open or a read: see FrameSource.
  bool Stuck() const { return source_ && source_->Stuck(); }

 private:
  void RefuseOverwrites() const {
    const std::pair<const char*, const std::string*> inputs[] = {
        {"the video", &a_.video}, {"the results", &a_.resultsFile}, {"the truth", &a_.truthFile}};
    for (const auto& [what, path] : inputs)
      if (vizmoro::SameFile(a_.output, *path))
        throw Failure{kExitUsage, "the output " + a_.output + " is " + what +
                                      (*path == a_.output ? "" : " " + *path) +
                                      ": it would be overwritten"};
    const bool image = cv::haveImageWriter(a_.output);
    if (a_.frame >= 0 && !image)
      throw Failure{kExitUsage, "the output " + a_.output +
                                    " is no image: with --frame, name a .png (or .jpg) file"};
    if (a_.frame < 0 && image)
      throw Failure{kExitUsage,
                    "the output " + a_.output + " is an image: give --frame N to draw one frame"};
  }

  static void Read(const std::string& path, Boxes& boxes) {
    if (path.empty()) return;
    std::vector<Detection> detections;
    std::string error;
    if (!ReadDetections(path, detections, error)) throw Failure{kExitInput, error};
    boxes = ByFrame(detections);
  }

  void OpenVideo() {
    source_ = std::make_unique<vizmoro::FrameSource>(
        [video = a_.video](cv::VideoCapture& capture) { return capture.open(video); });
    const Outcome opened = source_->Opened(vizmoro::stopRequested);
    struct stat st;
    if (opened != Outcome::kFrame)
      throw Failure{kExitInput, "cannot open the video " + a_.video +
                                    (opened == Outcome::kStopped ? ": stopped while it was opening"
                                     : IsFile(a_.video, st) ? ": the video library cannot read it"
                                                            : ": no such file")};
    fps_ = source_->Property(cv::CAP_PROP_FPS);
    if (!Next()) throw Failure{kExitInput, "no frame could be read from " + a_.video};
  }

  // The next frame into frame_, turned over with --flip.
  bool Next() {
    double position = 0;
    if (source_->Next(frame_, position, vizmoro::stopRequested) != Outcome::kFrame) return false;
    if (a_.flip) cv::flip(frame_, frame_, 0);
    return true;
  }

  // Draws what belongs on frame `index` (from 0).
  void Draw(int index) {
    for (const ObjectSpec& object : a_.objects)
      DrawLabelledBox(frame_, object.box, ObjectColour(static_cast<uint32_t>(object.id)),
                      std::to_string(object.id) + " " + object.name);
    const auto [truthFirst, truthLast] = truth_.equal_range(index + 1);
    for (auto it = truthFirst; it != truthLast; ++it)
      if (!it->second.box.empty())
        AnnotateTruth(frame_, static_cast<uint32_t>(it->second.id), Pixels(it->second.box));
    const auto [first, last] = results_.equal_range(index + 1);
    for (auto it = first; it != last; ++it) {
      const Detection& d = it->second;
      if (d.box.empty()) continue;
      char label[64];
      std::snprintf(label, sizeof label, "%d %.2f", d.id, d.conf);
      DrawLabelledBox(frame_, Pixels(d.box), ObjectColour(static_cast<uint32_t>(d.id)), label);
    }
  }

  void DrawImage() {
    int index = 0;
    while (index < a_.frame) {
      if (!Next()) {
        if (vizmoro::stopRequested) return;
        throw Failure{kExitInput, "frame " + std::to_string(a_.frame) + " is past the end of " +
                                      a_.video + ", which has " + std::to_string(index + 1) +
                                      " frames"};
      }
      ++index;
    }
    Draw(index);
    Output output;
    const std::string path = output.Prepare(a_.output, true, "the image ");
    if (!cv::imwrite(path, frame_) || !output.Commit())
      throw Failure{kExitOutput, "cannot write the image " + a_.output};
  }

  void DrawVideo(std::FILE* messages) {
    Output output;
    vizmoro::WatchedVideo video;
    if (!video.OpenForName(output.Prepare(a_.output, true, "the video "), fps_ > 0 ? fps_ : 25.0,
                           frame_.size(), a_.output))
      throw Failure{kExitOutput, "cannot write the video " + a_.output};
    for (int index = 0;; ++index) {
      Draw(index);
      video.Write(frame_, messages);
      if (vizmoro::stopRequested || !Next()) break;
    }
    video.Close(messages);
    if (video.HasFailed()) {
      code_ = kExitOutput;  // WatchedVideo said why; what was written is kept
      struct stat st;
      if (output.Replaces() && !IsFile(output.Temporary(), st)) output.Discard();
    }
    if (!output.Commit())
      throw Failure{kExitOutput,
                    "cannot write the video " + a_.output + ": " + std::strerror(errno)};
  }

  const Arguments& a_;
  int code_ = kExitOk;
  Boxes results_, truth_;
  std::unique_ptr<vizmoro::FrameSource> source_;
  double fps_ = 0;
  cv::Mat frame_;
};

}  // namespace

int Show(const Arguments& arguments, std::FILE* messages) {
  vizmoro::QuietVideoLibrary();
  vizmoro::InstallStopHandlers();
  ShowRun run(arguments);
  int code = kExitOk;
  try {
    code = run.Run(messages);
  } catch (const Failure& failure) {
    std::fprintf(messages, "vizmoro-cli: %s\n", failure.message.c_str());
    code = failure.code;
  } catch (const cv::Exception& e) {
    std::fprintf(messages, "vizmoro-cli: %s\n", e.what());
    code = kExitInput;
  }
  if (run.Stuck()) {  // the video library cannot be torn down under a stuck reader
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

}  // namespace vizmoro_cli
