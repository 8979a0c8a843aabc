#include "session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/memory_file.hpp>
#include <vizmoro/tracker.hpp>

#include "display.hpp"
#include "frame_source.hpp"
#include "hue_mask.hpp"
#include "json.hpp"
#include "mot.hpp"
#include "names_file.hpp"
#include "output_files.hpp"
#include "process_setup.hpp"
#include "video_output.hpp"

// The engine's rule for where the lock of a memory file lies.
#include "../src/file_io.hpp"

namespace vizmoro_cli {

namespace {

namespace file_io = vizmoro::detail::file_io;

constexpr char kWindow[] = "vizmoro-cli";

// A failure that ends the command with an exit code and a message.
struct Failure {
  int code;
  std::string message;
};

bool IsFile(const std::string& path, struct stat& st) {
  return ::stat(path.c_str(), &st) == 0;
}

// Loads the memory file, or leaves `memory` not created when there is none.
void LoadMemory(CvAssociativeMemory& memory, const std::string& path, bool& loaded) {
  struct stat st;
  loaded = false;
  if (!IsFile(path, st)) {
    if (errno == ENOENT) return;
    throw Failure{kExitInput, "cannot use the memory file " + path + ": " + std::strerror(errno)};
  }
  if (!S_ISREG(st.st_mode))
    throw Failure{kExitInput, "the memory file " + path + " is not a regular file"};
  try {
    errno = 0;
    if (!memory.LoadFromFile(path.c_str()))
      throw Failure{kExitInput,
                    "cannot load the memory file " + path + ": " +
                        (errno != 0 ? std::strerror(errno) : "not a memory file, or cut short")};
  } catch (const cv::Exception& e) {
    throw Failure{kExitInput, "the memory file " + path + " was refused: " + e.err};
  }
  loaded = true;
}

// The progress line on a terminal: frames, rate and time left, rewritten in place.
class Progress {
 public:
  Progress(std::FILE* out, bool shown, double frames)
      : out_(out), shown_(shown), frames_(frames > 0 ? frames : 0), start_(Clock::now()) {}
  void Frame(int done) {
    if (!shown_) return;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    std::fprintf(out_, "\r  frame %d", done);
    if (frames_ > 0) std::fprintf(out_, " / %.0f", frames_);
    std::fprintf(out_, "   %.1f fps", rate);
    if (frames_ > done && rate > 0) {
      const int left = static_cast<int>((frames_ - done) / rate);
      std::fprintf(out_, "   %d:%02d left", left / 60, left % 60);
    }
    std::fprintf(out_, "     ");
    std::fflush(out_);
    drawn_ = true;
  }
  void Done() {
    if (drawn_) std::fprintf(out_, "\n");
  }
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* out_;
  bool shown_;
  double frames_;
  Clock::time_point start_, last_;
  bool drawn_ = false;
};

// The most similar track of every object in one pass.
struct PassReports {
  struct Track {
    cv::Rect found;
    double similarity;
  };
  bool withPredicted = false;  // list objects not seen in this pass too
  std::map<uint32_t, Track> best;
  static void Callback(int code, uint32_t* index, RcgAMResult* result, void* user) {
    if (code != RCG_AM_TRACK || *index == 0) return;
    auto& reports = *static_cast<PassReports*>(user);
    if (result->predicted && !reports.withPredicted) return;
    auto [it, fresh] = reports.best.emplace(*index, Track{result->rect, result->similarity});
    if (!fresh && result->similarity > it->second.similarity)
      it->second = Track{result->rect, result->similarity};
  }
};

cv::Scalar ObjectColour(uint32_t id) {
  static const cv::Scalar kColours[] = {{0, 140, 255}, {60, 200, 60}, {220, 80, 200},
                                        {255, 160, 0}, {0, 220, 255}, {200, 60, 60}};
  return kColours[id % std::size(kColours)];
}

void Annotate(cv::Mat& frame, uint32_t id, const std::string& name, const cv::Rect& box,
              double similarity) {
  const cv::Scalar colour = ObjectColour(id);
  cv::rectangle(frame, box, colour, 2);
  char label[128];
  std::snprintf(label, sizeof label, "%u %s %.2f", id, name.c_str(), similarity);
  cv::putText(frame, label, box.tl() + cv::Point(2, -6), cv::FONT_HERSHEY_SIMPLEX, 0.6, colour, 2,
              cv::LINE_AA);
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
      {"the memory's tracker state", vizmoro::StatePath(a.memory), !a.plain},
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

// An output file: written under a temporary name and put in place at the end when it is a
// regular file (or none yet), written directly when it is a device, a pipe or a socket.
class Output {
 public:
  // Creates the temporary, or returns `path` itself to be written directly.
  // `what` names it in messages.
  std::string Prepare(const std::string& path, bool keepExtension, const std::string& what) {
    struct stat st;
    if (IsFile(path, st) && S_ISDIR(st.st_mode))
      throw Failure{kExitOutput, "cannot write " + what + path + ": " + std::strerror(EISDIR)};
    if (vizmoro::WrittenInPlace(path)) return path;
    const int fd = replaced_.Create(path, keepExtension);
    if (fd < 0)
      throw Failure{kExitOutput, "cannot write " + what + path + ": " + std::strerror(errno)};
    fd_ = fd;
    return replaced_.temporary();
  }
  // The temporary's descriptor (-1 when written directly); the caller takes it over.
  int TakeDescriptor() { return std::exchange(fd_, -1); }
  bool Replaces() const { return !replaced_.temporary().empty(); }
  const std::string& Temporary() const { return replaced_.temporary(); }
  bool Commit() { return !Replaces() || replaced_.Commit(); }
  void Discard() { replaced_.Discard(); }
  ~Output() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  vizmoro::ReplacedFile replaced_;
  int fd_ = -1;
};

int Session(const Arguments& a, std::FILE* stdoutResults, std::FILE* messages) {
  const bool teaches = a.command == Command::kTeach || a.command == Command::kRun;
  const bool tracks = a.command == Command::kTrack || a.command == Command::kRun;

  RefuseOverwrites(a, tracks);
  // A memory file that can never be used is refused before its lock file is made beside it.
  struct stat st;
  if (IsFile(a.memory, st) && !S_ISREG(st.st_mode))
    throw Failure{kExitInput, "the memory file " + a.memory + " is not a regular file"};
  std::string why;
  const vizmoro::MemoryFileLock lock = vizmoro::MemoryFileLock::Acquire(a.memory, &why);
  if (!lock.held())
    throw Failure{why.rfind("another run", 0) == 0 ? kExitInUse : kExitOutput,
                  "cannot use the memory file " + a.memory + ": " + why};
  if (!vizmoro::CanReplaceMemoryFile(a.memory, &why))
    throw Failure{kExitOutput, "cannot save the memory to " + a.memory + ": " + why};
  const std::string statePath = vizmoro::StatePath(a.memory);
  if (teaches && !a.plain && !vizmoro::CanReplaceMemoryFile(statePath, &why))
    throw Failure{kExitOutput, "cannot save the tracker state to " + statePath + ": " + why};

  CvAssociativeMemory memory;
  bool loaded = false;
  LoadMemory(memory, a.memory, loaded);
  if (!loaded && !teaches)
    throw Failure{kExitInput, "there is no memory file " + a.memory + ": teach objects first"};
  const std::string namesPath = NamesPath(a.memory);
  Names names;
  if (loaded && !ReadNames(namesPath, names, why)) throw Failure{kExitInput, why};
  // The tracker, and what it kept beside the memory.
  std::unique_ptr<vizmoro::Tracker> tracker;
  if (!a.plain) {
    vizmoro::TrackerParams params;
    params.levels = a.levels;
    params.learn = a.learn;
    tracker = std::make_unique<vizmoro::Tracker>(memory, params);
    try {
      if (loaded) vizmoro::ReadStateFile(*tracker, statePath);
    } catch (const cv::Exception& e) {
      throw Failure{kExitInput, "the tracker state " + statePath + " was refused: " + e.err};
    }
    // Objects taught with --plain since (or by an earlier version) are known by their names.
    for (const auto& [id, name] : names)
      if (!tracker->Objects().count(id)) tracker->AddObject(id, {name.taught, 0});
  }

  // Opened on the reader thread: a FIFO without a writer, or a source that stalls, must not keep
  // the run from a stop request.
  const bool camera = IsCamera(a.video);
  vizmoro::FrameSource source([video = a.video, camera](cv::VideoCapture& capture) {
    return camera ? capture.open(std::stoi(video)) : capture.open(video);
  });
  // While the capture is stuck in an open or a read, the video library cannot be torn down:
  // the process ends at once.
  auto fail = [&](int code, const std::string& message) {
    if (source.Stuck()) {
      std::fprintf(messages, "vizmoro-cli: %s\n", message.c_str());
      std::fflush(nullptr);
      std::_Exit(code);
    }
    throw Failure{code, message};
  };
  const vizmoro::FrameSource::Outcome opened = source.Opened(vizmoro::stopRequested);
  if (opened == vizmoro::FrameSource::Outcome::kStopped)
    fail(kExitInput, "cannot open the video " + a.video + ": stopped while it was opening");
  if (opened != vizmoro::FrameSource::Outcome::kFrame)
    fail(kExitInput, "cannot open the video " + a.video +
                         (camera || IsFile(a.video, st) ? ": the video library cannot read it"
                                                        : ": no such file"));
  const double fps = source.Property(cv::CAP_PROP_FPS);
  const double frameCount = source.Property(cv::CAP_PROP_FRAME_COUNT);
  cv::Mat frame;
  double position = 0;
  if (source.Next(frame, position, vizmoro::stopRequested) != vizmoro::FrameSource::Outcome::kFrame)
    fail(kExitInput, "no frame could be read from " + a.video);

  std::vector<ObjectSpec> objects = a.objects;
  int lastTeaching = -1;
  const Names namesBefore = loaded ? names : Names();
  if (teaches) {
    cv::Mat first = frame.clone();
    if (a.flip) cv::flip(first, first, 0);
    for (ObjectSpec& object : objects) {
      if (object.box.empty()) {
        std::string note;
        if (!vizmoro::WindowsAvailableHere(&note))
          throw Failure{kExitUsage, "--select needs a display to draw boxes on"};
        std::fprintf(messages, "Draw the box of object %d (%s), then press Enter or Space.\n",
                     object.id, object.name.c_str());
        object.box = cv::selectROI(kWindow, first, true, false);
        cv::destroyWindow(kWindow);
        if (object.box.empty())
          throw Failure{kExitUsage, "no box was drawn for object " + std::to_string(object.id)};
      }
      if ((object.box & cv::Rect(cv::Point(), first.size())) != object.box)
        throw Failure{kExitUsage, "the box of object " + std::to_string(object.id) +
                                      " reaches outside the frames of " +
                                      std::to_string(first.cols) + " x " +
                                      std::to_string(first.rows)};
      if (tracker && (object.box.width < 4 || object.box.height < 4))
        throw Failure{kExitUsage, "the box of object " + std::to_string(object.id) +
                                      " is smaller than the 4 x 4 pixels the tracker needs"};
      lastTeaching = std::max(lastTeaching, object.range.last);
    }
    // The tracker creates a memory for its own area when it first teaches.
    if (!loaded && a.plain)
      memory.Create(objects[0].box.width, objects[0].box.height, static_cast<int16_t>(a.levels));
    if (!loaded) names.clear();  // names of a memory that is gone
    for (const ObjectSpec& object : objects)
      names[object.id] = ObjectName{object.name, object.box.size()};
  }
  const vizmoro::SessionParams params = SessionParamsOf(a);
  memory.SetLearningOptions(params.learning);
  memory.SetTrackingOptions(params.tracking);

  // The outputs, now that every check has passed.
  std::FILE* results = stdoutResults;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> resultsFile(nullptr, &std::fclose);
  Output resultsOutput, videoOutput;
  if (tracks && !a.results.empty()) {
    const std::string path = resultsOutput.Prepare(a.results, false, "");
    const int fd = resultsOutput.TakeDescriptor();
    resultsFile.reset(fd >= 0 ? ::fdopen(fd, "w") : std::fopen(path.c_str(), "w"));
    if (!resultsFile) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      throw Failure{kExitOutput, "cannot write " + a.results + ": " + std::strerror(error)};
    }
    results = resultsFile.get();
  }
  vizmoro::WatchedVideo video;
  if (tracks && !a.outputVideo.empty() &&
      !video.OpenForName(videoOutput.Prepare(a.outputVideo, true, "the video "),
                         fps > 0 ? fps : 25.0, frame.size(), a.outputVideo))
    throw Failure{kExitOutput, "cannot write the video " + a.outputVideo};
  bool show = false;
  if (a.show) {
    std::string note;
    show = vizmoro::WindowsAvailableHere(&note);
    if (!show)
      std::fprintf(messages, "No display here: --show is left out.%s%s\n", note.empty() ? "" : " ",
                   note.c_str());
    else
      cv::namedWindow(kWindow, cv::WINDOW_NORMAL);
  }

  vizmoro::HueMask hueMask;
  cv::Mat grey, mask;
  Progress progress(messages, !a.quiet && ::isatty(::fileno(messages)),
                    teaches && !tracks ? lastTeaching + 1.0 : frameCount);
  int frames = 0, taughtFrames = 0, trackedFrames = 0;
  std::set<int32_t> taughtObjects;
  int resultsError = 0;  // errno of the first failed write of the results
  bool stopped = false, ended = false;
  for (int i = 0;; ++i) {
    if (a.flip) cv::flip(frame, frame, 0);
    bool taught = false;
    // What is seen on this frame: each object's box, how surely, and whether it is there.
    std::vector<vizmoro::TrackReport> seen;
    if (tracker) {
      for (const ObjectSpec& object : objects)
        if (object.range.Holds(i)) {
          tracker->Teach(frame, object.id, object.box);
          taughtObjects.insert(object.id);
          taught = true;
        }
      if (tracks && !taught) seen = tracker->Track(frame);
    } else {
      cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
      if (a.hueMask) hueMask.Build(frame, mask);
      memory.SetImage(grey, a.hueMask ? mask : cv::Mat());
      for (const ObjectSpec& object : objects)
        if (object.range.Holds(i)) {
          memory.Write(object.box, &object.id);
          taughtObjects.insert(object.id);
          taught = true;
        }
      if (tracks && !taught) {
        PassReports reports;
        reports.withPredicted = !a.seenOnly;
        memory.ObjectTracking(PassReports::Callback, &reports, a.learn, params.learnThreshold,
                              params.trackThreshold);
        for (const auto& [id, track] : reports.best) {
          const auto name = names.find(static_cast<int32_t>(id));
          const cv::Size taughtSize = name != names.end() ? name->second.taught : memory.GetSize();
          seen.push_back({static_cast<int32_t>(id), true, memory.FittedBox(track.found, taughtSize),
                          track.similarity});
        }
      }
    }
    taughtFrames += taught;
    if (tracks && !taught) {
      ++trackedFrames;
      for (const vizmoro::TrackReport& r : seen) {
        if (!r.present) continue;
        const auto name = names.find(r.id);
        if (std::fputs(MotLine(i + 1, r.id, r.box, r.confidence).c_str(), results) == EOF &&
            resultsError == 0)
          resultsError = errno;
        if (video.IsOpen() || show)
          Annotate(frame, static_cast<uint32_t>(r.id), name != names.end() ? name->second.name : "",
                   r.box, r.confidence);
      }
      video.Write(frame, messages);
      if (show) {
        cv::imshow(kWindow, frame);
        const int key = cv::waitKey(1);
        if (key == 'q' || key == 27) stopped = true;
      }
      // A reader of the results that has gone ends the run like a key; a failed write ends it
      // too, and the memory is still saved.
      if (resultsError != 0 || std::ferror(results)) stopped = true;
    }
    ++frames;
    progress.Frame(frames);
    if (!tracks && i >= lastTeaching) break;
    if (stopped || vizmoro::stopRequested) break;
    const vizmoro::FrameSource::Outcome next = source.Next(frame, position, vizmoro::stopRequested);
    if (next != vizmoro::FrameSource::Outcome::kFrame) {
      ended = next == vizmoro::FrameSource::Outcome::kEnd;
      break;
    }
  }
  progress.Done();

  int code = kExitOk;
  auto warn = [&](int exitCode, const std::string& line) {
    std::fprintf(messages, "vizmoro-cli: %s\n", line.c_str());
    if (code == kExitOk) code = exitCode;
  };
  const bool asked = !vizmoro::stopRequested && !stopped;  // the run went as far as it was asked
  if (ended && frameCount >= 1 && frames < frameCount)
    std::fprintf(messages, "Only %d of the %.0f frames that %s claims could be read.\n", frames,
                 frameCount, a.video.c_str());
  if (teaches && asked && frames <= lastTeaching && taughtFrames > 0)
    std::fprintf(messages,
                 "The video ended after %d frames, before frame %d: the objects were "
                 "taught on the frames it has.\n",
                 frames, lastTeaching);
  for (const ObjectSpec& object : objects) {
    if (taughtObjects.count(object.id)) continue;
    // An object never taught keeps the name it had, if any.
    const auto before = namesBefore.find(object.id);
    if (before != namesBefore.end())
      names[object.id] = before->second;
    else
      names.erase(object.id);
    if (asked)
      warn(kExitInput, "object " + std::to_string(object.id) + " (" + object.name +
                           ") was not taught: the video ended after " + std::to_string(frames) +
                           " frames, before its frame " + std::to_string(object.range.first));
  }

  if (resultsError == 0 && std::fflush(results) != 0) resultsError = errno;
  if (resultsError == 0 && std::ferror(results)) resultsError = EIO;
  if (resultsFile && std::fclose(resultsFile.release()) != 0 && resultsError == 0)
    resultsError = errno;
  if (resultsError != 0 && !(results == stdoutResults && resultsError == EPIPE)) {
    resultsOutput.Discard();
    warn(kExitOutput, (a.results.empty() ? std::string("cannot write the results")
                                         : "cannot write " + a.results) +
                          ": " + std::strerror(resultsError));
  } else if (!resultsOutput.Commit()) {
    warn(kExitOutput, "cannot write " + a.results + ": " + std::strerror(errno));
  }
  video.Close(messages);
  if (video.HasFailed()) {
    if (code == kExitOk) code = kExitOutput;  // WatchedVideo said why
    if (videoOutput.Replaces() && !IsFile(videoOutput.Temporary(), st)) videoOutput.Discard();
  }
  if (!videoOutput.Commit())
    warn(kExitOutput, "cannot write the video " + a.outputVideo + ": " + std::strerror(errno));

  // A new memory that learned nothing is not written: the run leaves no empty memory file.
  if (loaded || taughtFrames > 0) {
    errno = 0;
    if (!memory.SaveToFile(a.memory.c_str(), params.keepAll))
      fail(kExitOutput, "cannot save the memory to " + a.memory + ": " +
                            (errno ? std::strerror(errno) : "the memory refused"));
    if (teaches && !WriteNames(namesPath, names, why)) fail(kExitOutput, why);
    if (teaches && tracker && !vizmoro::WriteStateFile(*tracker, statePath))
      fail(kExitOutput,
           "cannot save the tracker state to " + statePath + ": " + std::strerror(errno));
    // A new memory taught with --plain has no tracker state: one left beside it belongs to a
    // memory that is gone.
    if (!loaded && !tracker && std::remove(statePath.c_str()) != 0 && errno != ENOENT)
      fail(kExitOutput, "cannot remove the tracker state " + statePath + ", which belonged to " +
                            "another memory: " + std::strerror(errno));
  }
  if (!a.quiet) {
    std::fprintf(messages, "%d frames in %.1f s", frames, progress.Seconds());
    if (teaches) std::fprintf(messages, ", %d of them taught", taughtFrames);
    if (tracks) std::fprintf(messages, ", %d tracked", trackedFrames);
    if (loaded || taughtFrames > 0)
      std::fprintf(messages, "; the memory %s holds %d bases.\n", a.memory.c_str(),
                   memory.GetNodeCount() - 1);
    else
      std::fprintf(messages, "; nothing was learned: no memory file %s was written.\n",
                   a.memory.c_str());
  }
  if (source.Stuck()) {  // a capture that never came back from a read: see FrameSource
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

}  // namespace

int RunSession(const Arguments& arguments, std::FILE* results, std::FILE* messages) {
  vizmoro::QuietVideoLibrary();
  vizmoro::InstallStopHandlers();
  try {
    return Session(arguments, results, messages);
  } catch (const Failure& failure) {
    std::fprintf(messages, "vizmoro-cli: %s\n", failure.message.c_str());
    return failure.code;
  } catch (const cv::Exception& e) {
    std::fprintf(messages, "vizmoro-cli: %s\n", e.what());
    return kExitInput;
  }
}

int Inspect(const Arguments& a, std::FILE* out, std::FILE* messages) {
  CvAssociativeMemory memory;
  bool loaded = false;
  Names names;
  std::string why;
  try {
    LoadMemory(memory, a.memory, loaded);
    if (!loaded) throw Failure{kExitInput, "there is no memory file " + a.memory};
    if (!ReadNames(NamesPath(a.memory), names, why)) throw Failure{kExitInput, why};
  } catch (const Failure& failure) {
    std::fprintf(messages, "vizmoro-cli: %s\n", failure.message.c_str());
    return failure.code;
  }
  struct Tally {
    std::vector<int> perLevel;
    std::map<int32_t, int> perObject;
  } tally;
  memory.VisitNodes(
      [](int, int, const int16_t*, int32_t* data, uint64_t, uint64_t, int, int16_t level,
         void* user) {
        auto& t = *static_cast<Tally*>(user);
        if (t.perLevel.size() < static_cast<size_t>(level)) t.perLevel.resize(level, 0);
        ++t.perLevel[level - 1];
        ++t.perObject[*data];
        return true;
      },
      &tally);
  std::map<int32_t, bool> objects;  // named or holding bases
  for (const auto& [id, name] : names) objects[id] = true;
  for (const auto& [id, count] : tally.perObject) objects[id] = true;
  const cv::Size area = memory.GetSize();
  const int bases = memory.GetNodeCount() - 1;
  if (a.json) {
    Json json = {{"file", a.memory},
                 {"area", {area.width, area.height}},
                 {"levels", tally.perLevel.size()},
                 {"bases", bases},
                 {"basesPerLevel", tally.perLevel},
                 {"lastBaseId", memory.GetLastNodeId()},
                 {"readsAndWrites", memory.GetAccessCount()},
                 {"objects", Json::array()}};
    for (const auto& [id, unused] : objects) {
      const auto name = names.find(id);
      const bool named = name != names.end();
      json["objects"].push_back(
          {{"id", id},
           {"name", named ? Json(name->second.name) : Json()},
           {"taught", named ? Json{name->second.taught.width, name->second.taught.height} : Json()},
           {"bases", tally.perObject[id]}});
    }
    std::fputs(JsonLine(json).c_str(), out);
  } else {
    std::fprintf(out, "memory file %s: an area of %d x %d, %d bases\n", a.memory.c_str(),
                 area.width, area.height, bases);
    std::fprintf(out, "bases per level:");
    for (size_t i = 0; i < tally.perLevel.size(); ++i)
      std::fprintf(out, " %zu: %d%s", i + 1, tally.perLevel[i],
                   i + 1 < tally.perLevel.size() ? "," : "");
    std::fprintf(out, "\nlast base id %llu, %llu reads and writes\n",
                 static_cast<unsigned long long>(memory.GetLastNodeId()),
                 static_cast<unsigned long long>(memory.GetAccessCount()));
    std::fprintf(out, "objects:\n");
    for (const auto& [id, unused] : objects) {
      const auto name = names.find(id);
      if (name != names.end())
        std::fprintf(out, "  %d\t%s\ttaught %d x %d\t%d bases\n", id, name->second.name.c_str(),
                     name->second.taught.width, name->second.taught.height, tally.perObject[id]);
      else
        std::fprintf(out, "  %d\t(no name)\t%d bases\n", id, tally.perObject[id]);
    }
  }
  return std::ferror(out) ? kExitOutput : kExitOk;
}

}  // namespace vizmoro_cli
