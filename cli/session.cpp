#include "session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/memory_file.hpp>
#include <vizmoro/tracker.hpp>

#include "annotation.hpp"
#include "display.hpp"
#include "frame_source.hpp"
#include "hue_mask.hpp"
#include "memory_loading.hpp"
#include "mot.hpp"
#include "names_file.hpp"
#include "output.hpp"
#include "output_files.hpp"
#include "picker.hpp"
#include "process_setup.hpp"
#include "progress.hpp"
#include "video_output.hpp"

// The engine's rule for where the lock of a memory file lies.
#include "../src/file_io.hpp"

namespace vizmoro_cli {

namespace {

namespace file_io = vizmoro::detail::file_io;
using Outcome = vizmoro::FrameSource::Outcome;

constexpr char kWindow[] = "vizmoro-cli";

// The pass a tracked object was last seen in, kept with the track.
struct SeenIn : AMUserBlock {
  int64_t pass = 0;
};

// The most similar track of every object in one pass.
struct PassReports {
  struct Track {
    cv::Rect found;
    double similarity;
    bool predicted;  // not seen in this pass: where it was last seen
  };
  bool withPredicted = false;  // list objects not seen in this pass too
  // With withPredicted: the most passes since a track was seen for it to be listed; -1 for as
  // long as the memory keeps it.
  int64_t coast = -1;
  int64_t pass = 0;  // this pass, counted by the caller
  std::map<uint32_t, Track> best;
  static void Callback(int code, uint32_t* index, RcgAMResult* result, void* user) {
    if (code != RCG_AM_TRACK || *index == 0) return;
    auto& reports = *static_cast<PassReports*>(user);
    if (result->predicted && !reports.withPredicted) return;
    if (reports.withPredicted && reports.coast >= 0) {
      // A live track is reported in every pass, seen in the pass that starts it: one not seen
      // has its block.
      std::unique_ptr<AMUserBlock>& slot = *result->userSlot;
      auto* seenIn = dynamic_cast<SeenIn*>(slot.get());
      if (!result->predicted) {
        if (!seenIn) slot.reset(seenIn = new SeenIn);
        seenIn->pass = reports.pass;
      } else if (!seenIn || reports.pass - seenIn->pass > reports.coast) {
        return;
      }
    }
    const Track track{result->rect, result->similarity, result->predicted != 0};
    auto [it, fresh] = reports.best.emplace(*index, track);
    if (!fresh && result->similarity > it->second.similarity) it->second = track;
  }
};

// How a memory was taught, on a line of its tracker state: "taught" and the options that change
// what the memory sees (--flip, --hue-mask). Readers of the state pass over lines they do not
// know, so earlier versions read the file as before.
struct TaughtHow {
  bool flip = false, hueMask = false;
};
constexpr char kTaughtKey[] = "taught";

bool IsTaughtLine(const std::string& line) {
  std::istringstream words(line);
  std::string key;
  return words >> key && key == kTaughtKey;
}

// The record in a state's text; none in one written before it was kept.
std::optional<TaughtHow> ReadTaughtHow(const std::string& text) {
  std::istringstream in(text);
  std::optional<TaughtHow> how;
  for (std::string line; std::getline(in, line);) {
    if (!IsTaughtLine(line)) continue;
    std::istringstream words(line);
    how.emplace();
    for (std::string word; words >> word;) {
      if (word == "--flip") how->flip = true;
      if (word == "--hue-mask") how->hueMask = true;
    }
  }
  return how;
}

// The state's text with its record replaced by `how`.
std::string WithTaughtHow(const std::string& text, const TaughtHow& how) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (!IsTaughtLine(line)) out += line + "\n";
  return out + kTaughtKey + (how.flip ? " --flip" : "") + (how.hueMask ? " --hue-mask" : "") + "\n";
}

bool IsCamera(const std::string& video) {
  return !video.empty() && video.size() <= 3 &&
         std::all_of(video.begin(), video.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Refuses a run that would write one of its files over another: an output over the video, the
// memory, its names or its lock, through links too. Nothing has been opened for writing yet.
void RefuseOverwrites(const Arguments& a, bool tracks) {
  const struct {
    std::string what, path;
    bool written;
  } files[] = {
      {"the video", IsCamera(a.video) ? "" : a.video, false},
      {"the memory file", a.memory, true},
      {"the memory's names file", NamesPath(a.memory), true},
      {"the memory's lock file", file_io::ReplacedPath(a.memory) + ".lock", false},
      {"the memory's tracker state", vizmoro::StatePath(a.memory), a.command != Command::kTrack},
      {"the results file", tracks ? a.results : "", true},
      {"the annotated video", tracks ? a.outputVideo : "", true},
  };
  for (size_t j = 1; j < std::size(files); ++j)
    for (size_t i = 0; i < j; ++i)
      if ((files[i].written || files[j].written) && vizmoro::SameFile(files[i].path, files[j].path))
        throw Failure{kExitUsage, files[j].what + " " + files[j].path + " is " + files[i].what +
                                      (files[i].path == files[j].path ? "" : " " + files[i].path) +
                                      ": it would be overwritten"};
}

// One run of teach, track or run, step by step: the memory is locked and loaded, the video
// opened, the objects' boxes checked, the outputs opened, the frames played, and the outputs
// and the memory finished. What a step makes is kept in the order it is made, so that a failure
// undoes it in reverse: the lock goes last.
class Session {
 public:
  Session(const Arguments& a, std::FILE* stdoutResults, std::FILE* messages,
          const ReportSink& report, std::string* reason)
      : a_(a),
        teaches_(a.command == Command::kTeach || a.command == Command::kRun),
        tracks_(a.command == Command::kTrack || a.command == Command::kRun),
        stdoutResults_(stdoutResults),
        messages_(messages),
        report_(report),
        reason_(reason) {}

  // The exit code.
  int Run() {
    Lock();
    Load();
    OpenVideo();
    PrepareTeaching();
    OpenOutputs();
    Play();
    SayWhatFellShort();
    FinishResults();
    FinishVideo();
    Save();
    Summarise();
    if (source_->Stuck()) {  // a capture that never came back from a read: see FrameSource
      std::fflush(nullptr);
      std::_Exit(code_);
    }
    return code_;
  }

 private:
  // Ends the run. While the capture is stuck in an open or a read, the video library cannot be
  // torn down: the process ends at once.
  [[noreturn]] void Fail(int code, const std::string& message) {
    if (source_->Stuck()) {
      std::fprintf(messages_, "vizmoro-cli: %s\n", message.c_str());
      std::fflush(nullptr);
      std::_Exit(code);
    }
    throw Failure{code, message};
  }

  // Says why on the messages; the first such warning gives the exit code.
  void Warn(int exitCode, const std::string& line) {
    std::fprintf(messages_, "vizmoro-cli: %s\n", line.c_str());
    if (code_ != kExitOk) return;
    code_ = exitCode;
    if (reason_) *reason_ = line;
  }

  void Lock() {
    RefuseOverwrites(a_, tracks_);
    // A memory file that can never be used is refused before its lock file is made beside it.
    struct stat st;
    if (IsFile(a_.memory, st) && !S_ISREG(st.st_mode))
      throw Failure{kExitInput, "the memory file " + a_.memory + " is not a regular file"};
    std::string why;
    lock_ = vizmoro::MemoryFileLock::Acquire(a_.memory, &why);
    if (!lock_.held())
      throw Failure{why.rfind("another run", 0) == 0 ? kExitInUse : kExitOutput,
                    "cannot use the memory file " + a_.memory + ": " + why};
    if (!vizmoro::CanReplaceMemoryFile(a_.memory, &why))
      throw Failure{kExitOutput, "cannot save the memory to " + a_.memory + ": " + why};
    statePath_ = vizmoro::StatePath(a_.memory);
    if (teaches_ && !vizmoro::CanReplaceMemoryFile(statePath_, &why))
      throw Failure{kExitOutput, "cannot save the tracker state to " + statePath_ + ": " + why};
  }

  // The memory, its names, and the tracker with what it kept beside the memory.
  void Load() {
    memory_.emplace();
    LoadMemory(*memory_, a_.memory, loaded_);
    if (!loaded_ && !teaches_)
      throw Failure{kExitInput, "there is no memory file " + a_.memory + ": teach objects first"};
    namesPath_ = NamesPath(a_.memory);
    std::string why;
    if (loaded_ && !ReadNames(namesPath_, names_, why)) throw Failure{kExitInput, why};
    if (loaded_) ReadStateText();
    if (a_.plain) return;
    vizmoro::TrackerParams params;
    params.levels = a_.levels;
    params.learn = a_.learn;
    tracker_ = std::make_unique<vizmoro::Tracker>(*memory_, params);
    try {
      if (loaded_) vizmoro::ReadStateFile(*tracker_, statePath_);
    } catch (const cv::Exception& e) {
      throw Failure{kExitInput, "the tracker state " + statePath_ + " was refused: " + e.err};
    }
    // Objects taught with --plain since (or by an earlier version) are known by their names.
    for (const auto& [id, name] : names_)
      if (!tracker_->Objects().count(id)) tracker_->AddObject(id, {name.taught, 0});
  }

  // The state beside a loaded memory as text, and a warning where it was taught with other
  // options than this run's: it would find nothing, and nothing else would say why.
  void ReadStateText() {
    std::FILE* in = file_io::OpenRegularFile(statePath_.c_str());
    if (!in) {
      stateUnreadable_ = errno != ENOENT;
      return;
    }
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
    stateUnreadable_ = std::ferror(in);
    std::fclose(in);
    if (stateUnreadable_) return;
    stateText_ = text;
    const std::optional<TaughtHow> how = ReadTaughtHow(text);
    if (!how) return;
    const struct {
      bool taught, now;
      const char* option;
    } options[] = {{how->flip, a_.flip, "--flip"}, {how->hueMask, a_.hueMask, "--hue-mask"}};
    for (const auto& o : options)
      if (o.taught != o.now)
        std::fprintf(messages_, "vizmoro-cli: the memory %s was taught %s %s; this run is %s it\n",
                     a_.memory.c_str(), o.taught ? "with" : "without", o.option,
                     o.now ? "with" : "without");
  }

  // Opens the video and reads its first frame.
  void OpenVideo() {
    // Opened on the reader thread: a FIFO without a writer, or a source that stalls, must not
    // keep the run from a stop request.
    const bool camera = IsCamera(a_.video);
    source_ = std::make_unique<vizmoro::FrameSource>(
        [video = a_.video, camera](cv::VideoCapture& capture) {
          return camera ? capture.open(std::stoi(video)) : capture.open(video);
        });
    const Outcome opened = source_->Opened(vizmoro::stopRequested);
    if (opened == Outcome::kStopped)
      Fail(kExitInput, "cannot open the video " + a_.video + ": stopped while it was opening");
    struct stat st;
    if (opened != Outcome::kFrame)
      Fail(kExitInput, "cannot open the video " + a_.video +
                           (camera || IsFile(a_.video, st) ? ": the video library cannot read it"
                                                           : ": no such file"));
    fps_ = source_->Property(cv::CAP_PROP_FPS);
    frameCount_ = source_->Property(cv::CAP_PROP_FRAME_COUNT);
    if (source_->Next(frame_, position_, vizmoro::stopRequested) != Outcome::kFrame)
      Fail(kExitInput, "no frame could be read from " + a_.video);
  }

  // The boxes to teach, drawn with the mouse where asked and checked against the frame; their
  // names; and the memory's options.
  void PrepareTeaching() {
    objects_ = a_.objects;
    namesBefore_ = loaded_ ? names_ : Names();
    if (teaches_) {
      cv::Mat first = frame_.clone();
      if (a_.flip) cv::flip(first, first, 0);
      for (ObjectSpec& object : objects_) {
        if (object.box.empty()) Select(object, first);
        CheckBox(object, first.size());
        lastTeaching_ = std::max(lastTeaching_, object.range.last);
      }
      // The tracker creates a memory for its own area when it first teaches.
      if (!loaded_ && a_.plain)
        memory_->Create(objects_[0].box.width, objects_[0].box.height,
                        static_cast<int16_t>(a_.levels));
      if (!loaded_) names_.clear();  // names of a memory that is gone
      for (const ObjectSpec& object : objects_)
        names_[object.id] = ObjectName{object.name, object.box.size()};
    }
    params_ = SessionParamsOf(a_);
    memory_->SetLearningOptions(params_.learning);
    memory_->SetTrackingOptions(params_.tracking);
  }

  void Select(ObjectSpec& object, const cv::Mat& first) { PickBox(a_, first, object, messages_); }

  void CheckBox(const ObjectSpec& object, cv::Size frame) const {
    if ((object.box & cv::Rect(cv::Point(), frame)) != object.box)
      throw Failure{kExitUsage, "the box of object " + std::to_string(object.id) +
                                    " reaches outside the frames of " +
                                    std::to_string(frame.width) + " x " +
                                    std::to_string(frame.height)};
    if (tracker_ && (object.box.width < 4 || object.box.height < 4))
      throw Failure{kExitUsage, "the box of object " + std::to_string(object.id) +
                                    " is smaller than the 4 x 4 pixels the tracker needs"};
  }

  // The outputs, now that every check has passed.
  void OpenOutputs() {
    if (tracks_ && !a_.results.empty()) {
      const std::string path = resultsOutput_.Prepare(a_.results, false, "");
      const int fd = resultsOutput_.TakeDescriptor();
      resultsFile_.reset(fd >= 0 ? ::fdopen(fd, "w") : std::fopen(path.c_str(), "w"));
      if (!resultsFile_) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        throw Failure{kExitOutput, "cannot write " + a_.results + ": " + std::strerror(error)};
      }
      results_ = resultsFile_.get();
    }
    if (tracks_ && !a_.outputVideo.empty() &&
        !video_.OpenForName(videoOutput_.Prepare(a_.outputVideo, true, "the video "),
                            fps_ > 0 ? fps_ : 25.0, frame_.size(), a_.outputVideo))
      throw Failure{kExitOutput, "cannot write the video " + a_.outputVideo};
    if (a_.show) {
      std::string note;
      show_ = vizmoro::WindowsAvailableHere(&note);
      if (!show_)
        std::fprintf(messages_, "No display here: --show is left out.%s%s\n",
                     note.empty() ? "" : " ", note.c_str());
      else
        cv::namedWindow(kWindow, cv::WINDOW_NORMAL);
    }
  }

  // Teaches or tracks every frame until the video ends, the teaching is done (teach), or the
  // run is stopped.
  void Play() {
    progress_.emplace(messages_, !a_.quiet && ::isatty(::fileno(messages_)),
                      teaches_ && !tracks_ ? lastTeaching_ + 1.0 : frameCount_);
    // track --frames: the frames before are passed by, and the run ends after the last.
    const bool ranged = a_.command == Command::kTrack && a_.hasFrames;
    for (int i = 0;; ++i) {
      if (ranged && i > a_.frames.last) break;
      if (a_.flip) cv::flip(frame_, frame_, 0);
      // What is seen on this frame: each object's box, how surely, and whether it is there.
      std::vector<vizmoro::TrackReport> seen;
      if (ranged && i < a_.frames.first) {
        Present();
      } else {
        const bool taught = tracker_ ? TeachOrTrack(i, seen) : TeachOrTrackPlain(i, seen);
        taughtFrames_ += taught;
        if (tracks_ && !taught) Report(i, seen);
        if (tracks_ && taught) ShowTaught(i);
      }
      ++frames_;
      progress_->Frame(frames_);
      if (!tracks_ && i >= lastTeaching_) break;
      if (stopped_ || vizmoro::stopRequested) break;
      const Outcome next = source_->Next(frame_, position_, vizmoro::stopRequested);
      if (next != Outcome::kFrame) {
        ended_ = next == Outcome::kEnd;
        break;
      }
    }
    progress_->Done();
  }

  // Teaches the objects whose frames hold frame `i`; tracks every object when none is taught
  // and the run tracks. Whether an object was taught.
  bool TeachOrTrack(int i, std::vector<vizmoro::TrackReport>& seen) {
    bool taught = false;
    for (const ObjectSpec& object : objects_)
      if (object.range.Holds(i)) {
        tracker_->Teach(frame_, object.id, object.box);
        taughtObjects_.insert(object.id);
        taught = true;
      }
    coasting_.clear();
    if (tracks_ && !taught) {
      seen = tracker_->Track(frame_);
      Coast(seen);
    }
    return taught;
  }

  // Lists an object the tracker did not see at the box it was last seen in, its confidence
  // halved for each tracked frame since, for --coast frames, as the memory lists its tracks.
  void Coast(std::vector<vizmoro::TrackReport>& seen) {
    ++passes_;
    if (a_.coast <= 0) return;
    for (vizmoro::TrackReport& r : seen) {
      if (r.present) {
        lastSeen_[r.id] = LastSeen{r.box, r.confidence, passes_};
        continue;
      }
      const auto last = lastSeen_.find(r.id);
      if (last == lastSeen_.end() || passes_ - last->second.pass > a_.coast) continue;
      const int away = static_cast<int>(passes_ - last->second.pass);
      r = {r.id, true, last->second.box, std::ldexp(last->second.confidence, -away)};
      coasting_.insert(r.id);
    }
  }

  // The same with the memory's own search and tracking.
  bool TeachOrTrackPlain(int i, std::vector<vizmoro::TrackReport>& seen) {
    cv::cvtColor(frame_, grey_, cv::COLOR_BGR2GRAY);
    if (a_.hueMask) hueMask_.Build(frame_, mask_);
    memory_->SetImage(grey_, a_.hueMask ? mask_ : cv::Mat());
    bool taught = false;
    for (const ObjectSpec& object : objects_)
      if (object.range.Holds(i)) {
        memory_->Write(object.box, &object.id);
        taughtObjects_.insert(object.id);
        taught = true;
      }
    coasting_.clear();
    if (!tracks_ || taught) return taught;
    PassReports reports;
    reports.withPredicted = a_.coast != 0;
    reports.coast = a_.coast;
    reports.pass = ++passes_;
    memory_->ObjectTracking(PassReports::Callback, &reports, a_.learn, params_.learnThreshold,
                            params_.trackThreshold);
    for (const auto& [id, track] : reports.best) {
      const auto name = names_.find(static_cast<int32_t>(id));
      const cv::Size taughtSize = name != names_.end() ? name->second.taught : memory_->GetSize();
      seen.push_back({static_cast<int32_t>(id), true, memory_->FittedBox(track.found, taughtSize),
                      track.similarity});
      if (track.predicted) coasting_.insert(static_cast<int32_t>(id));
    }
    return taught;
  }

  // The results of a tracked frame, its annotated copy and its window.
  void Report(int i, const std::vector<vizmoro::TrackReport>& seen) {
    ++trackedFrames_;
    for (const vizmoro::TrackReport& r : seen) {
      if (!r.present) continue;
      const auto name = names_.find(r.id);
      if (report_) report_(i + 1, r.id, r.box, r.confidence);
      if (std::fputs(MotLine(i + 1, r.id, r.box, r.confidence).c_str(), results_) == EOF &&
          resultsError_ == 0)
        resultsError_ = errno;
      if (video_.IsOpen() || show_)
        Annotate(frame_, static_cast<uint32_t>(r.id), name != names_.end() ? name->second.name : "",
                 r.box, r.confidence, coasting_.count(r.id) > 0);
    }
    Present();
    // A reader of the results that has gone ends the run like a key; a failed write ends it
    // too, and the memory is still saved.
    if (resultsError_ != 0 || std::ferror(results_)) stopped_ = true;
  }

  // A frame that run teaches, in the annotated video and the window like the tracked ones (so
  // that the video keeps the source's frames), with the boxes taught on it.
  void ShowTaught(int i) {
    if (!video_.IsOpen() && !show_) return;
    for (const ObjectSpec& object : objects_)
      if (object.range.Holds(i))
        AnnotateTaught(frame_, static_cast<uint32_t>(object.id), object.name, object.box);
    Present();
  }

  // The annotated frame into the video and the window; q or Esc there stops the run.
  void Present() {
    video_.Write(frame_, messages_);
    if (show_) {
      cv::imshow(kWindow, frame_);
      const int key = cv::waitKey(1);
      if (key == 'q' || key == 27) stopped_ = true;
    }
  }

  // A video shorter than it claims, or than the teaching asked for; objects never taught keep
  // the names they had.
  void SayWhatFellShort() {
    const bool asked = !vizmoro::stopRequested && !stopped_;  // the run went as far as asked
    if (ended_ && frameCount_ >= 1 && frames_ < frameCount_)
      std::fprintf(messages_, "Only %d of the %.0f frames that %s claims could be read.\n", frames_,
                   frameCount_, a_.video.c_str());
    if (teaches_ && asked && frames_ <= lastTeaching_ && taughtFrames_ > 0)
      std::fprintf(messages_,
                   "The video ended after %d frames, before frame %d: the objects were "
                   "taught on the frames it has.\n",
                   frames_, lastTeaching_);
    for (const ObjectSpec& object : objects_) {
      if (taughtObjects_.count(object.id)) continue;
      const auto before = namesBefore_.find(object.id);
      if (before != namesBefore_.end())
        names_[object.id] = before->second;
      else
        names_.erase(object.id);
      if (asked)
        Warn(kExitInput, "object " + std::to_string(object.id) + " (" + object.name +
                             ") was not taught: the video ended after " + std::to_string(frames_) +
                             " frames, before its frame " + std::to_string(object.range.first));
    }
  }

  // Flushes and closes the results, and puts a results file in place, or drops it when it
  // could not be written whole.
  void FinishResults() {
    if (resultsError_ == 0 && std::fflush(results_) != 0) resultsError_ = errno;
    if (resultsError_ == 0 && std::ferror(results_)) resultsError_ = EIO;
    if (resultsFile_ && std::fclose(resultsFile_.release()) != 0 && resultsError_ == 0)
      resultsError_ = errno;
    if (resultsError_ != 0 && !(results_ == stdoutResults_ && resultsError_ == EPIPE)) {
      resultsOutput_.Discard();
      Warn(kExitOutput, (a_.results.empty() ? std::string("cannot write the results")
                                            : "cannot write " + a_.results) +
                            ": " + std::strerror(resultsError_));
    } else if (!resultsOutput_.Commit()) {
      Warn(kExitOutput, "cannot write " + a_.results + ": " + std::strerror(errno));
    }
  }

  // Closes the annotated video and puts it in place; one cut short is kept.
  void FinishVideo() {
    video_.Close(messages_);
    struct stat st;
    if (video_.HasFailed()) {
      if (code_ == kExitOk && reason_)  // WatchedVideo said why on the messages
        *reason_ = "cannot write the video " + a_.outputVideo + " whole: it is cut short";
      if (code_ == kExitOk) code_ = kExitOutput;
      if (videoOutput_.Replaces() && !IsFile(videoOutput_.Temporary(), st)) videoOutput_.Discard();
    }
    if (!videoOutput_.Commit())
      Warn(kExitOutput, "cannot write the video " + a_.outputVideo + ": " + std::strerror(errno));
  }

  // The memory, its names and the tracker's state. A new memory that learned nothing is not
  // written: the run leaves no empty memory file.
  void Save() {
    if (!loaded_ && taughtFrames_ == 0) return;
    errno = 0;
    if (!memory_->SaveToFile(a_.memory.c_str(), params_.keepAll))
      Fail(kExitOutput, "cannot save the memory to " + a_.memory + ": " +
                            (errno ? std::strerror(errno) : "the memory refused"));
    std::string why;
    if (teaches_ && !WriteNames(namesPath_, names_, why)) Fail(kExitOutput, why);
    if (teaches_) SaveState();
  }

  // The tracker's state with how the memory was taught. With --plain, a loaded memory's state
  // keeps what a tracker wrote there; a new memory's holds no object, and replaces one left
  // beside it by a memory that is gone.
  void SaveState() {
    std::string text;
    if (tracker_)
      text = tracker_->SaveState();
    else if (stateText_)
      text = *stateText_;
    else if (loaded_ && stateUnreadable_)
      return;  // left as it is rather than lose what it holds
    else
      text = vizmoro::Tracker(*memory_, vizmoro::TrackerParams()).SaveState();
    text = WithTaughtHow(text, TaughtHow{a_.flip, a_.hueMask});
    if (!file_io::ReplaceFile(statePath_.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                              text.size()))
      Fail(kExitOutput,
           "cannot save the tracker state to " + statePath_ + ": " + std::strerror(errno));
  }

  void Summarise() const {
    if (a_.quiet) return;
    std::fprintf(messages_, "%d frames in %.1f s", frames_, progress_->Seconds());
    if (teaches_) std::fprintf(messages_, ", %d of them taught", taughtFrames_);
    if (tracks_) std::fprintf(messages_, ", %d tracked", trackedFrames_);
    if (loaded_ || taughtFrames_ > 0)
      std::fprintf(messages_, "; the memory %s holds %d bases.\n", a_.memory.c_str(),
                   memory_->GetNodeCount() - 1);
    else
      std::fprintf(messages_, "; nothing was learned: no memory file %s was written.\n",
                   a_.memory.c_str());
  }

  const Arguments& a_;
  const bool teaches_, tracks_;
  std::FILE* const stdoutResults_;
  std::FILE* const messages_;
  const ReportSink& report_;
  std::string* const reason_;

  // Lock()
  vizmoro::MemoryFileLock lock_;
  std::string statePath_;
  // Load()
  std::optional<CvAssociativeMemory> memory_;
  bool loaded_ = false;
  std::string namesPath_;
  Names names_;
  std::unique_ptr<vizmoro::Tracker> tracker_;
  std::optional<std::string> stateText_;  // as it was read, for --plain to keep
  bool stateUnreadable_ = false;
  // OpenVideo()
  std::unique_ptr<vizmoro::FrameSource> source_;
  double fps_ = 0, frameCount_ = 0;
  cv::Mat frame_;
  double position_ = 0;
  // PrepareTeaching()
  std::vector<ObjectSpec> objects_;
  int lastTeaching_ = -1;
  Names namesBefore_;
  vizmoro::SessionParams params_;
  // OpenOutputs()
  std::FILE* results_ = stdoutResults_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> resultsFile_{nullptr, &std::fclose};
  Output resultsOutput_, videoOutput_;
  vizmoro::WatchedVideo video_;
  bool show_ = false;
  // Play()
  vizmoro::HueMask hueMask_;
  cv::Mat grey_, mask_;
  std::optional<Progress> progress_;
  int frames_ = 0, taughtFrames_ = 0, trackedFrames_ = 0;
  std::set<int32_t> taughtObjects_;
  std::set<int32_t> coasting_;  // objects listed on this frame where they were last seen
  int64_t passes_ = 0;          // tracked frames so far
  struct LastSeen {
    cv::Rect box;
    double confidence;
    int64_t pass;
  };
  std::map<int32_t, LastSeen> lastSeen_;  // the tracker's objects, for --coast
  int resultsError_ = 0;                  // errno of the first failed write of the results
  bool stopped_ = false, ended_ = false;
  int code_ = kExitOk;
};

}  // namespace

int RunSession(const Arguments& arguments, std::FILE* results, std::FILE* messages) {
  vizmoro::QuietVideoLibrary();
  vizmoro::InstallStopHandlers();
  return PlaySession(arguments, results, messages, ReportSink(), nullptr);
}

int PlaySession(const Arguments& arguments, std::FILE* results, std::FILE* messages,
                const ReportSink& report, std::string* reason) {
  try {
    return Session(arguments, results, messages, report, reason).Run();
  } catch (const Failure& failure) {
    std::fprintf(messages, "vizmoro-cli: %s\n", failure.message.c_str());
    if (reason) *reason = failure.message;
    return failure.code;
  } catch (const cv::Exception& e) {
    std::fprintf(messages, "vizmoro-cli: %s\n", e.what());
    if (reason) *reason = e.what();
    return kExitInput;
  }
}

}  // namespace vizmoro_cli
