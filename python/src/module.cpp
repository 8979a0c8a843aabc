// The Python module vizmoro._vizmoro: CvAssociativeMemory as vizmoro.Memory, in Python's
// conventions. The engine keeps shallow references to the frame and blurs the mask in place, so
// the module hands it copies of its own and never writes into the caller's arrays. The GIL is
// released while the engine works; callbacks take it back. A memory serves one call at a time:
// calls from other threads wait for it. A Tracker works through its memory's gate: it and its
// memory serve one call at a time between them. teach, track and run are vizmoro-cli's own
// sessions, linked in.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/memory_file.hpp>
#include <vizmoro/session_params.hpp>
#include <vizmoro/tracker.hpp>

#include "arguments.hpp"
#include "mot_line.hpp"
#include "object_argument.hpp"
#include "object_names.hpp"
#include "process_setup.hpp"
#include "session.hpp"

namespace py = pybind11;

namespace {

using Box = std::tuple<int, int, int, int>;

Box ToBox(const cv::Rect& r) {
  return {r.x, r.y, r.width, r.height};
}
cv::Rect ToRect(const Box& b) {
  return cv::Rect(std::get<0>(b), std::get<1>(b), std::get<2>(b), std::get<3>(b));
}

PyObject* errorType = nullptr;  // vizmoro.Error

// Names and --object text as bytes, as the programs take them: a str is UTF-8, with undecodable
// bytes that Python keeps as surrogates given back as they were.
std::string TextBytes(const py::str& text) {
  const py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape"));
  if (!bytes) throw py::error_already_set();
  return std::string(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()));
}
py::str TextOf(const std::string& bytes) {
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// A path as os.fsencode gives it (str, bytes or path-like); one with a NUL raises ValueError.
std::string PathBytes(const py::handle& path) {
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(path.ptr(), &bytes)) throw py::error_already_set();
  const py::object owned = py::reinterpret_steal<py::object>(bytes);
  return std::string(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes));
}

// OSError for a file, as open() raises it: the subclass of errno (PermissionError, ...) and
// "[Errno N] reason: 'path'".
[[noreturn]] void RaiseFileError(int error, const py::handle& path) {
  const char* reason = error == EINVAL ? "not a regular file" : std::strerror(error);
  PyErr_SetObject(PyExc_OSError, py::make_tuple(error, reason, path).ptr());
  throw py::error_already_set();
}

// A path as the programs gave it back, as str: os.fsdecode's.
py::str PathText(const std::string& path) {
  PyObject* text =
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// OSError for errno `error` on `path` (as given: str, bytes or path-like).
[[noreturn]] void RaiseErrno(int error, const py::handle& path) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
  throw py::error_already_set();
}

// Lets one call at a time into a memory. Calls from other threads wait, without the GIL, for the
// running one to end. A callback of the running call, on its thread, goes through: the memory
// itself refuses what would change it then (waiting there would never end).
class CallGate {
 public:
  class Pass {
   public:
    explicit Pass(CallGate& gate) : gate_(gate) {
      const std::thread::id self = std::this_thread::get_id();
      if (gate_.owner_.load() == self) return;
      if (!gate_.mutex_.try_lock()) {
        py::gil_scoped_release released;  // the running call may need it to end
        gate_.mutex_.lock();
      }
      gate_.owner_.store(self);
      owner_ = true;
    }
    ~Pass() {
      if (!owner_) return;
      gate_.owner_.store(std::thread::id());
      gate_.mutex_.unlock();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    // Whether this is a callback of the call its thread is running.
    bool Reentered() const { return !owner_; }

   private:
    CallGate& gate_;
    bool owner_ = false;
  };

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

// A 2-D uint8 array copied into a Mat of our own.
cv::Mat CopyGrey(const py::handle& object, const char* what) {
  if (!py::isinstance<py::array>(object))
    throw py::type_error(std::string(what) + " must be a numpy array");
  const py::array array = py::reinterpret_borrow<py::array>(object);
  if (!array.dtype().is(py::dtype::of<uint8_t>()))
    throw py::type_error(std::string(what) + " must be a uint8 array, not " +
                         std::string(py::str(array.dtype())));
  if (array.ndim() != 2)
    throw py::value_error(std::string(what) + " must be a 2-D array (one channel), not " +
                          std::to_string(array.ndim()) + "-D");
  if (!(array.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " must be C-contiguous: pass numpy.ascontiguousarray(...) instead");
  const int rows = static_cast<int>(array.shape(0)), cols = static_cast<int>(array.shape(1));
  if (rows == 0 || cols == 0) throw py::value_error(std::string(what) + " is empty");
  cv::Mat copy(rows, cols, CV_8UC1);
  std::memcpy(copy.data, array.data(), static_cast<size_t>(rows) * cols);
  return copy;
}

// A frame for the tracker: uint8, H x W or H x W x 1, 3 (BGR) or 4 (BGRA), copied into a Mat of
// our own whatever its strides.
cv::Mat CopyFrame(const py::handle& object) {
  if (!py::isinstance<py::array>(object)) throw py::type_error("frame must be a numpy array");
  const py::array array = py::reinterpret_borrow<py::array>(object);
  if (!array.dtype().is(py::dtype::of<uint8_t>()))
    throw py::type_error("frame must be a uint8 array, not " + std::string(py::str(array.dtype())));
  const int channels = array.ndim() == 3 ? static_cast<int>(array.shape(2)) : 1;
  if ((array.ndim() != 2 && array.ndim() != 3) || (channels != 1 && channels != 3 && channels != 4))
    throw py::value_error("frame must be H x W, or H x W x 1, 3 (BGR) or 4 (BGRA), not of shape " +
                          std::string(py::str(array.attr("shape"))));
  if (array.shape(0) == 0 || array.shape(1) == 0) throw py::value_error("frame is empty");
  if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX)
    throw py::value_error("frame is too large");
  const auto dense = py::array_t<uint8_t, py::array::c_style>::ensure(array);
  if (!dense) throw py::error_already_set();
  cv::Mat copy(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)),
               CV_8UC(channels));
  std::memcpy(copy.data, dense.data(), copy.total() * copy.elemSize());
  return copy;
}

// A number the engine takes as int; beyond it, OverflowError as Python's own calls raise.
int ToInt(int64_t value, const char* what) {
  if (value < INT_MIN || value > INT_MAX)
    throw std::overflow_error(std::string(what) + " must fit in int");
  return static_cast<int>(value);
}

using WideBox = std::tuple<int64_t, int64_t, int64_t, int64_t>;

// A box whose corners are ints too: the engine adds its sides to its corner.
cv::Rect ToIntRect(const WideBox& b) {
  const auto [x, y, w, h] = b;
  for (int64_t v : {x, y, w, h, x + w, y + h})
    if (v < INT_MIN || v > INT_MAX) throw std::overflow_error("box reaches beyond int");
  return cv::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                  static_cast<int>(h));
}

// The object a callback gave a tracked object; the memory frees it when the track ends, maybe
// while the GIL is released.
struct PythonBlock : AMUserBlock {
  explicit PythonBlock(py::object o) : object(std::move(o)) {}
  ~PythonBlock() override {
    py::gil_scoped_acquire gil;
    object = py::object();
  }
  py::object object;
};

struct Event {
  int code = 0;
  std::optional<uint32_t> index;
  std::optional<Box> rect;
  double similarity = 0;
  uint32_t bases = 0;
  bool predicted = false;
  py::object trackData = py::none();
};

struct Delivery {
  py::object callback;  // None: collect the events
  std::vector<Event>* events;
};

void Deliver(int code, uint32_t* index, RcgAMResult* result, void* user) {
  py::gil_scoped_acquire gil;
  auto& delivery = *static_cast<Delivery*>(user);
  Event event;
  event.code = code;
  if (index) event.index = *index;
  if (result) {
    event.rect = ToBox(result->rect);
    event.similarity = result->similarity;
    event.bases = result->bases;
    event.predicted = result->predicted;
    if (result->userSlot && *result->userSlot)
      event.trackData = static_cast<PythonBlock*>(result->userSlot->get())->object;
  }
  if (delivery.callback.is_none()) {
    delivery.events->push_back(std::move(event));
    return;
  }
  py::object returned = delivery.callback(event);
  if (code == RCG_AM_TRACK && result && result->userSlot && !returned.is_none())
    *result->userSlot = std::make_unique<PythonBlock>(returned);
}

struct ReadResult {
  bool matched;
  Box found;
  int32_t index;
  uint64_t baseIndex, hits;
  double similarity;
};

struct Node {
  int level;
  uint64_t id, hits;
  int32_t data;
  int slots;
  py::array_t<int16_t> values;
};

// The memory and the frame it looks at, which the memory only refers to.
class Memory {
 public:
  void Create(int width, int height, int64_t levels) {
    if (levels < std::numeric_limits<int16_t>::min() ||
        levels > std::numeric_limits<int16_t>::max())
      throw std::overflow_error("levels must fit in 16 bits");
    CallGate::Pass pass(gate_);
    py::gil_scoped_release released;
    memory_.Create(width, height, static_cast<int16_t>(levels));
  }
  void SetImage(const py::handle& grey, const py::handle& mask) {
    CallGate::Pass pass(gate_);
    cv::Mat image = CopyGrey(grey, "grey");
    cv::Mat ownMask;
    if (!mask.is_none()) {
      ownMask = CopyGrey(mask, "mask");
      if (ownMask.size() != image.size()) throw py::value_error("mask must have the shape of grey");
    }
    py::gil_scoped_release released;
    memory_.SetImage(image, ownMask);
    image_ = image;  // kept alive while the memory works on this frame
    mask_ = ownMask;
  }
  void Write(const Box& area, int64_t index) {
    if (index < INT32_MIN || index > UINT32_MAX) throw py::value_error("index must fit in 32 bits");
    const int32_t value = static_cast<int32_t>(index);
    CallGate::Pass pass(gate_);
    py::gil_scoped_release released;
    memory_.Write(ToRect(area), &value);
  }
  ReadResult Read(const Box& area, bool forceDescent) {
    CallGate::Pass pass(gate_);
    cv::Rect found;
    int32_t* data = nullptr;
    uint64_t base = 0, hits = 0;
    double similarity = 0;
    bool matched;
    {
      py::gil_scoped_release released;
      matched = memory_.Read(ToRect(area), found, &data, &base, &hits, &similarity, forceDescent);
    }
    return ReadResult{matched, ToBox(found), data ? *data : 0, base, hits, similarity};
  }
  py::object Recognize(const py::object& callback) {
    CallGate::Pass pass(gate_);
    std::vector<Event> events;
    Delivery delivery{callback, &events};
    {
      py::gil_scoped_release released;
      memory_.ObjectRecognition(Deliver, &delivery);
    }
    return callback.is_none() ? py::cast(std::move(events)) : py::none();
  }
  py::object Track(const py::object& callback, bool learning, double learnThreshold,
                   double trackThreshold) {
    CallGate::Pass pass(gate_);
    std::vector<Event> events;
    Delivery delivery{callback, &events};
    {
      py::gil_scoped_release released;
      memory_.ObjectTracking(Deliver, &delivery, learning, learnThreshold, trackThreshold);
    }
    return callback.is_none() ? py::cast(std::move(events)) : py::none();
  }
  void Save(const py::object& pathLike, bool keepAll) {
    const std::string path = PathBytes(pathLike);
    const char* file = path.c_str();
    CallGate::Pass pass(gate_);
    bool saved;
    int error;
    {
      py::gil_scoped_release released;
      errno = 0;
      saved = memory_.SaveToFile(file, keepAll);
      error = errno;
    }
    if (!saved) RaiseErrno(error ? error : EIO, pathLike);
  }
  void Load(const py::object& pathLike) {
    const std::string path = PathBytes(pathLike);
    const char* file = path.c_str();
    CallGate::Pass pass(gate_);
    bool loaded;
    int error;
    {
      py::gil_scoped_release released;
      errno = 0;
      loaded = memory_.LoadFromFile(file);
      error = errno;
    }
    if (loaded) return;
    if (error) RaiseErrno(error, pathLike);
    throw py::value_error(std::string(PathText(path)) +
                          " is not a memory file, or it is cut short");
  }
  py::bytes Pack() {
    CallGate::Pass pass(gate_);
    std::string data(static_cast<size_t>(memory_.GetPackedSize()), '\0');
    memory_.WritePackedData(data.data());
    return py::bytes(data);
  }
  void Unpack(const py::bytes& data) {
    const std::string bytes = data;
    CallGate::Pass pass(gate_);
    py::gil_scoped_release released;
    memory_.ReadPackedData(bytes.data(), bytes.size());
  }
  void Prune() {
    CallGate::Pass pass(gate_);
    py::gil_scoped_release released;
    memory_.Prune();
  }
  std::vector<Node> Nodes() {
    CallGate::Pass pass(gate_);
    std::vector<Node> nodes;
    memory_.VisitNodes(
        [](int cols, int rows, const int16_t* values, int32_t* data, uint64_t id, uint64_t hits,
           int slots, int16_t level, void* user) {
          py::array_t<int16_t> array({rows, cols});
          std::memcpy(array.mutable_data(), values, sizeof(int16_t) * cols * rows);
          static_cast<std::vector<Node>*>(user)->push_back(
              Node{level, id, hits, *data, slots, std::move(array)});
          return true;
        },
        &nodes);
    return nodes;
  }
  Box FittedBox(const Box& found, std::pair<int, int> taught) {
    CallGate::Pass pass(gate_);
    try {
      return ToBox(memory_.FittedBox(ToRect(found), cv::Size(taught.first, taught.second)));
    } catch (const cv::Exception& e) {
      if (e.code != cv::Error::StsOutOfRange) throw;
      throw std::overflow_error(e.err);
    }
  }

  // The area, the levels it was made with, the bases and the objects taught, as repr shows them.
  std::string Describe() {
    CallGate::Pass pass(gate_);
    if (memory_.GetNodeCount() == 0) return "<Memory not created>";
    std::vector<uint8_t> packed(static_cast<size_t>(memory_.GetPackedSize()));
    memory_.WritePackedData(packed.data());
    const int levels = static_cast<int16_t>(packed[18] | packed[19] << 8);  // little-endian
    std::set<int32_t> objects;
    memory_.VisitNodes(
        [](int, int, const int16_t*, int32_t* data, uint64_t, uint64_t, int, int16_t, void* user) {
          if (*data != 0) static_cast<std::set<int32_t>*>(user)->insert(*data);
          return true;
        },
        &objects);
    const cv::Size size = memory_.GetSize();
    std::string ids;
    for (int32_t id : objects) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    return "<Memory size=(" + std::to_string(size.width) + ", " + std::to_string(size.height) +
           ") levels=" + std::to_string(levels) +
           " bases=" + std::to_string(memory_.GetNodeCount() - 1) + " objects=[" + ids + "]>";
  }

  // What pickle carries: the packed data (empty for a memory not created) and the options in
  // force, which the packed data does not hold.
  py::tuple State() {
    CallGate::Pass pass(gate_);
    std::string packed;
    if (memory_.GetNodeCount() > 0) {
      packed.resize(static_cast<size_t>(memory_.GetPackedSize()));
      memory_.WritePackedData(packed.data());
    }
    const LearningOptions l = memory_.GetLearningOptions();
    const TrackingOptions t = memory_.GetTrackingOptions();
    return py::make_tuple(
        py::bytes(packed), py::make_tuple(l.guard, l.establishedAfter, l.budget),
        py::make_tuple(t.sweepFrom, t.sweepStep, t.sweepTo, t.followSize, t.followFrom, t.followTo,
                       t.keepIdentities, t.lookBeforeReport));
  }
  static std::unique_ptr<Memory> FromState(const py::tuple& state) {
    if (state.size() != 3) throw py::value_error("not the state of a pickled Memory");
    auto memory = std::make_unique<Memory>();
    const std::string packed = state[0].cast<py::bytes>();
    LearningOptions l;
    std::tie(l.guard, l.establishedAfter, l.budget) = state[1].cast<std::tuple<bool, int, int>>();
    TrackingOptions t;
    std::tie(t.sweepFrom, t.sweepStep, t.sweepTo, t.followSize, t.followFrom, t.followTo,
             t.keepIdentities, t.lookBeforeReport) =
        state[2].cast<std::tuple<double, double, double, bool, double, double, bool, bool>>();
    if (!packed.empty()) memory->memory_.ReadPackedData(packed.data(), packed.size());
    memory->memory_.SetLearningOptions(l);
    memory->memory_.SetTrackingOptions(t);
    return memory;
  }

  // What a call does with the memory, through the gate: the options and the counters.
  template <typename F>
  auto With(F&& use) {
    CallGate::Pass pass(gate_);
    return use(memory_);
  }

  // A tracker's work on the memory, through the gate and without the GIL. From inside the
  // memory's own callback it is refused before the tracker starts: the memory would refuse it
  // part-way, with the tracker's state half changed.
  template <typename F>
  auto Work(const char* operation, F&& use) {
    CallGate::Pass pass(gate_);
    if (pass.Reentered())
      cv::error(cv::Error::StsError,
                "The memory cannot be changed from inside its own callback or a user block's "
                "destructor",
                operation, __FILE__, __LINE__);
    py::gil_scoped_release released;
    return use(memory_);
  }

 private:
  CvAssociativeMemory memory_;
  cv::Mat image_, mask_;
  CallGate gate_;
};

// The options in force in a memory, as Memory.learning_options and tracking_options give them:
// each field is read from the memory and set in it, so that `memory.learning_options.guard =
// True` takes effect rather than changing a copy.
template <typename Options>
class OptionsView {
 public:
  explicit OptionsView(py::object memory) : memory_(std::move(memory)) {}
  Options Get() const {
    return Owner().With([](CvAssociativeMemory& a) {
      if constexpr (std::is_same_v<Options, LearningOptions>)
        return a.GetLearningOptions();
      else
        return a.GetTrackingOptions();
    });
  }
  void Set(const Options& o) const {
    Owner().With([&](CvAssociativeMemory& a) {
      if constexpr (std::is_same_v<Options, LearningOptions>)
        a.SetLearningOptions(o);
      else
        a.SetTrackingOptions(o);
    });
  }

 private:
  Memory& Owner() const { return memory_.cast<Memory&>(); }
  py::object memory_;  // kept alive by the view
};

// A field of the options, on the options themselves and on a memory's view of them.
template <typename Options, typename T>
void OptionsField(py::class_<Options>& options, py::class_<OptionsView<Options>>& view,
                  const char* name, T Options::*field, const char* doc) {
  options.def_readwrite(name, field, doc);
  view.def_property(
      name, [field](const OptionsView<Options>& v) { return v.Get().*field; },
      [field](const OptionsView<Options>& v, T value) {
        Options o = v.Get();
        o.*field = value;
        v.Set(o);
      },
      doc);
}

std::string BoolText(bool b) {
  return b ? "True" : "False";
}
std::string FloatText(double v) {
  return py::repr(py::float_(v));
}

std::string Fields(const LearningOptions& o) {
  return "guard=" + BoolText(o.guard) + " established_after=" + std::to_string(o.establishedAfter) +
         " budget=" + std::to_string(o.budget);
}
std::string Fields(const TrackingOptions& o) {
  return "sweep_from=" + FloatText(o.sweepFrom) + " sweep_step=" + FloatText(o.sweepStep) +
         " sweep_to=" + FloatText(o.sweepTo) + " follow_size=" + BoolText(o.followSize) +
         " follow_from=" + FloatText(o.followFrom) + " follow_to=" + FloatText(o.followTo) +
         " keep_identities=" + BoolText(o.keepIdentities) +
         " look_before_report=" + BoolText(o.lookBeforeReport);
}

// A Tracker over a Memory, which Python keeps alive as long as the tracker. Every call goes
// through the memory's gate, the inspectors included: a Teach or Track on another thread changes
// what they read.
class Tracker {
 public:
  Tracker(Memory& memory, const vizmoro::TrackerParams& params) : memory_(memory) {
    memory_.With([&](CvAssociativeMemory& engine) {
      tracker_ = std::make_unique<vizmoro::Tracker>(engine, params);
    });
  }
  void Teach(const py::handle& frame, int64_t id, const WideBox& box) {
    const int object = ToInt(id, "id");
    const cv::Rect rect = ToIntRect(box);
    const cv::Mat own = CopyFrame(frame);
    memory_.Work("vizmoro::Tracker::Teach",
                 [&](CvAssociativeMemory&) { tracker_->Teach(own, object, rect); });
  }
  std::vector<vizmoro::TrackReport> Track(const py::handle& frame) {
    const cv::Mat own = CopyFrame(frame);
    return memory_.Work("vizmoro::Tracker::Track",
                        [&](CvAssociativeMemory&) { return tracker_->Track(own); });
  }
  std::map<int32_t, vizmoro::TrackedObjectState> Objects() {
    return memory_.With([&](CvAssociativeMemory&) { return tracker_->Objects(); });
  }
  std::string SaveState() {
    return memory_.With([&](CvAssociativeMemory&) { return tracker_->SaveState(); });
  }
  void LoadState(const std::string& text) {
    memory_.With([&](CvAssociativeMemory&) { tracker_->LoadState(text); });
  }
  bool ReadStateFile(const py::object& pathLike) {
    const std::string path = PathBytes(pathLike);
    int error = 0;
    try {
      return memory_.With([&](CvAssociativeMemory&) {
        py::gil_scoped_release released;
        errno = 0;
        try {
          return vizmoro::ReadStateFile(*tracker_, path);
        } catch (const cv::Exception&) {
          error = errno;
          throw;
        }
      });
    } catch (const cv::Exception& e) {
      // A file that cannot be read is the system's error; one that is no state, the tracker's.
      if (e.code != cv::Error::StsError) throw;
      RaiseErrno(error ? error : EIO, pathLike);
    }
  }
  void WriteStateFile(const py::object& pathLike) {
    const std::string path = PathBytes(pathLike);
    int error = 0;
    const bool written = memory_.With([&](CvAssociativeMemory&) {
      py::gil_scoped_release released;
      errno = 0;
      const bool ok = vizmoro::WriteStateFile(*tracker_, path);
      error = errno;
      return ok;
    });
    if (!written) RaiseErrno(error ? error : EIO, pathLike);
  }
  void AddObject(int64_t id, std::pair<int64_t, int64_t> taught) {
    const vizmoro::TrackedObjectState state{
        cv::Size(ToInt(taught.first, "taught"), ToInt(taught.second, "taught")), 0};
    const int object = ToInt(id, "id");
    memory_.With([&](CvAssociativeMemory&) { tracker_->AddObject(object, state); });
  }
  vizmoro::TrackerParams Params() const { return tracker_->Params(); }  // a copy of its own

 private:
  Memory& memory_;
  std::unique_ptr<vizmoro::Tracker> tracker_;
};

// The lock a run holds on a memory file, as a context manager.
class FileLock {
 public:
  explicit FileLock(const py::object& path) : path_(PathBytes(path)) {}
  FileLock& Enter() {
    std::string why;
    lock_ = vizmoro::MemoryFileLock::Acquire(path_, &why);
    if (!lock_.held()) {
      PyErr_SetObject(PyExc_BlockingIOError,
                      py::str("cannot lock {}: {}").format(PathText(path_), why).ptr());
      throw py::error_already_set();
    }
    return *this;
  }
  void Exit(const py::args&) { lock_ = vizmoro::MemoryFileLock(); }
  bool Held() const { return lock_.held(); }

 private:
  std::string path_;
  vizmoro::MemoryFileLock lock_;
};

// The names file as {id: (name, (w, h))}.
py::dict ReadNamesFile(const py::object& path) {
  const std::string file = PathBytes(path);
  vizmoro::Names names;
  std::string error;
  int fileError = 0;
  bool read;
  {
    py::gil_scoped_release released;
    read = vizmoro::ReadNames(file, names, error);
    fileError = errno;
  }
  if (!read) {
    if (fileError != 0) RaiseFileError(fileError, path);
    throw py::value_error(std::string(TextOf(error)));
  }
  py::dict result;
  for (const auto& [id, object] : names)
    result[py::int_(id)] = py::make_tuple(
        TextOf(object.name), py::make_tuple(object.taught.width, object.taught.height));
  return result;
}

void WriteNamesFile(const py::object& path, const py::dict& given) {
  const std::string file = PathBytes(path);
  vizmoro::Names names;
  for (const auto& [key, value] : given) {
    const auto id = key.cast<long long>();
    if (id < 1 || id > INT32_MAX) throw py::value_error("an id must be from 1 to 2147483647");
    const auto [name, size] = value.cast<std::tuple<py::str, std::tuple<int, int>>>();
    names[static_cast<int32_t>(id)] =
        vizmoro::ObjectName{TextBytes(name), {std::get<0>(size), std::get<1>(size)}};
  }
  std::string error;
  int fileError = 0;
  bool written;
  {
    py::gil_scoped_release released;
    written = vizmoro::WriteNames(file, names, error);
    fileError = errno;
  }
  if (!written) RaiseFileError(fileError, path);
}

// An --object argument as (id, name, box or None, (first, last) or None).
py::tuple ParseObjectText(const py::str& text) {
  vizmoro::ObjectSpec object;
  std::string error;
  if (!vizmoro::ParseObject(TextBytes(text), object, error))
    throw py::value_error(std::string(TextOf(error)));
  const py::object box = object.box.empty() ? py::none() : py::cast(ToBox(object.box));
  const py::object range = object.hasRange
                               ? py::object(py::make_tuple(object.range.first, object.range.last))
                               : py::none();
  return py::make_tuple(object.id, TextOf(object.name), box, range);
}

// vizmoro-cli's teach, track and run, called from Python: the options become the command line
// that vizmoro-cli reads, so that the defaults, the checks and the refusals are its own, and the
// session is its own.
struct SessionCall {
  vizmoro_cli::Command command;
  py::object video, objects, memory, frames, results, videoOutput;
  int levels, budget;
  bool plain, learn, guard, prune, flip, hueMask, seenOnly, followSize, keepIdentities, quiet;
  py::object coast;  // None: vizmoro-cli's default
};

// A whole number as decimal text; TypeError for what is not one (a float, a string).
std::string Decimal(const py::handle& number) {
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(number.ptr()));
  if (!index) throw py::error_already_set();
  return py::str(index);
}

// An object as vizmoro-cli's --object reads it: the text itself, or (id, name, (x, y, w, h)
// or None, (first, last) or frame or None).
std::string ObjectWord(const py::handle& object) {
  if (py::isinstance<py::str>(object)) return TextBytes(py::reinterpret_borrow<py::str>(object));
  if (!py::isinstance<py::sequence>(object) || py::len(object) < 3 || py::len(object) > 4)
    throw py::type_error(
        "an object is \"ID:NAME:X,Y,W,H[@A-B]\" or (id, name, (x, y, w, h), (first, last))");
  const py::sequence parts = py::reinterpret_borrow<py::sequence>(object);
  std::string word = Decimal(parts[0]) + ":" + TextBytes(py::str(parts[1]));
  if (!parts[2].is_none()) {
    if (!py::isinstance<py::sequence>(parts[2]) || py::len(parts[2]) != 4)
      throw py::type_error("a box is (x, y, w, h)");
    const py::sequence box = py::reinterpret_borrow<py::sequence>(parts[2]);
    word += ":" + Decimal(box[0]) + "," + Decimal(box[1]) + "," + Decimal(box[2]) + "," +
            Decimal(box[3]);
  }
  if (parts.size() == 4 && !parts[3].is_none()) {
    const py::handle range = parts[3];
    word += "@" + (py::isinstance<py::sequence>(range)
                       ? Decimal(range[py::int_(0)]) + "-" + Decimal(range[py::int_(1)])
                       : Decimal(range));
  }
  return word;
}

// Frames "A-B", a frame N, or (first, last).
std::string FramesWord(const py::handle& frames) {
  if (py::isinstance<py::str>(frames)) return TextBytes(py::reinterpret_borrow<py::str>(frames));
  if (py::isinstance<py::sequence>(frames) && py::len(frames) == 2)
    return Decimal(frames[py::int_(0)]) + "-" + Decimal(frames[py::int_(1)]);
  return Decimal(frames);
}

// The exception of a session that ended with a nonzero exit code: what vizmoro-cli's code
// means, with the code and the results as far as they came.
[[noreturn]] void RaiseSessionError(int code, const std::string& reason,
                                    const py::object& results) {
  PyObject* type = code == vizmoro_cli::kExitUsage   ? PyExc_ValueError
                   : code == vizmoro_cli::kExitInUse ? PyExc_BlockingIOError
                                                     : PyExc_OSError;
  const py::object error = py::reinterpret_borrow<py::object>(type)(TextOf(reason));
  error.attr("exit_code") = code;
  error.attr("results") = results;
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

// The command line of a call; ValueError with vizmoro-cli's reason where it refuses it.
vizmoro_cli::Arguments ArgumentsOf(const SessionCall& call) {
  using vizmoro_cli::Command;
  const bool teaches = call.command != Command::kTrack, tracks = call.command != Command::kTeach;
  std::vector<std::string> words{
      "vizmoro-cli",
      call.command == Command::kTeach ? "teach"
      : tracks && teaches             ? "run"
                                      : "track",
      "VIDEO",  // a path that starts with '-' is a video too: put in place after the parse
      "--memory", PathBytes(call.memory)};
  if (teaches) {
    // One text is one object, not its letters.
    const py::iterator objects = py::isinstance<py::str>(call.objects)
                                     ? py::iter(py::make_tuple(call.objects))
                                     : py::iter(call.objects);
    for (const py::handle object : objects) {
      words.push_back("--object");
      words.push_back(ObjectWord(object));
    }
  }
  // teach and run: the frames of objects without their own; track: the frames tracked.
  if (!call.frames.is_none()) {
    words.push_back("--frames");
    words.push_back(FramesWord(call.frames));
  }
  if (tracks && !call.results.is_none()) {
    words.push_back("--results");
    words.push_back(PathBytes(call.results));
  }
  if (tracks && !call.videoOutput.is_none()) {
    words.push_back("--video");
    words.push_back(PathBytes(call.videoOutput));
  }
  const vizmoro_cli::Arguments defaults;
  if (teaches && call.levels != defaults.levels) {
    words.push_back("--levels");
    words.push_back(std::to_string(call.levels));
  }
  if (call.budget != defaults.budget) {
    words.push_back("--budget");
    words.push_back(std::to_string(call.budget));
  }
  // Each switch away from its default, by the option that sets it so.
  const struct {
    bool value, byDefault, given;
    const char *on, *off;
  } switches[] = {
      {call.plain, defaults.plain, true, "--plain", nullptr},
      {call.learn, defaults.learn, tracks, nullptr, "--no-learn"},
      {call.guard, defaults.guard, true, nullptr, "--no-guard"},
      {call.prune, defaults.prune, true, "--prune", nullptr},
      {call.flip, defaults.flip, true, "--flip", nullptr},
      {call.hueMask, defaults.hueMask, true, "--hue-mask", nullptr},
      {call.seenOnly, defaults.seenOnly, tracks, "--seen-only", nullptr},
      {call.followSize, defaults.followSize, tracks, "--follow-size", "--no-follow-size"},
      {call.keepIdentities, defaults.keepIdentities, tracks, nullptr, "--no-identities"},
      {call.quiet, defaults.quiet, true, "--quiet", nullptr},
  };
  for (const auto& s : switches)
    if (s.given && s.value != s.byDefault) words.push_back(s.value ? s.on : s.off);
  if (tracks && !call.coast.is_none()) {
    words.push_back("--coast");
    words.push_back(Decimal(call.coast));
  }
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  vizmoro_cli::Arguments arguments;
  std::string error;
  if (!vizmoro_cli::ParseArguments(static_cast<int>(argv.size()), argv.data(), arguments, error))
    RaiseSessionError(vizmoro_cli::kExitUsage, error,
                      tracks ? py::object(py::list()) : py::object(py::none()));
  arguments.video = PathBytes(call.video);
  return arguments;
}

// What the process is while sessions run, as vizmoro-cli sets it up. Ctrl+C ends a session after
// the current frame, as it ends vizmoro-cli, and still reaches the handler Python had, which
// raises KeyboardInterrupt once the call returns. The video library keeps quiet about the inputs
// it refuses (unless OPENCV_LOG_LEVEL says otherwise), as the session says why itself. Sessions
// on several threads share this; Ctrl+C ends all of them, and the last one restores both.
class SessionScope {
 public:
  SessionScope() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (sessions_++ > 0) return;
    vizmoro::stopRequested = 0;
    logLevel_ = cv::utils::logging::getLogLevel();
    if (!std::getenv("OPENCV_LOG_LEVEL"))
      cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    sigaction(SIGINT, nullptr, &previous_);
    // Where Ctrl+C is ignored or ends the process, it still does.
    installed_ = !(previous_.sa_flags & SA_SIGINFO) && previous_.sa_handler != SIG_DFL &&
                 previous_.sa_handler != SIG_IGN;
    if (!installed_) return;
    struct sigaction action = previous_;
    action.sa_handler = OnInterrupt;
    action.sa_flags &= ~SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
  }
  ~SessionScope() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--sessions_ > 0) return;
    if (installed_) sigaction(SIGINT, &previous_, nullptr);
    cv::utils::logging::setLogLevel(logLevel_);
  }
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;

 private:
  static void OnInterrupt(int signal) {
    vizmoro::stopRequested = 1;
    previous_.sa_handler(signal);
  }
  static inline std::mutex mutex_;
  static inline int sessions_ = 0;
  static inline bool installed_ = false;
  static inline struct sigaction previous_ = {};
  static inline cv::utils::logging::LogLevel logLevel_ = cv::utils::logging::LOG_LEVEL_INFO;
};

// Runs a session: the results of the tracked frames as [(frame, id, (x, y, w, h), confidence)]
// (None for teach). Messages go to sys.stderr, but for the one an exception carries.
py::object RunSessionCall(const SessionCall& call) {
  const vizmoro_cli::Arguments arguments = ArgumentsOf(call);
  struct Report {
    int frame;
    int32_t id;
    cv::Rect box;
    double confidence;
  };
  std::vector<Report> reports;
  const vizmoro_cli::ReportSink sink = [&reports](int frame, int32_t id, const cv::Rect& box,
                                                  double confidence) {
    reports.push_back({frame, id, box, confidence});
  };
  char* text = nullptr;
  size_t size = 0;
  std::FILE* messages = ::open_memstream(&text, &size);
  std::FILE* unused = std::fopen("/dev/null", "w");  // results, where no file is named
  if (!messages || !unused) {
    const int error = errno;
    if (messages) std::fclose(messages);
    if (unused) std::fclose(unused);
    std::free(text);
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
  std::string reason;
  int code;
  {
    py::gil_scoped_release released;
    SessionScope scope;
    code = vizmoro_cli::PlaySession(arguments, unused, messages, sink, &reason);
  }
  std::fclose(unused);
  std::fclose(messages);
  std::string said(text, size);
  std::free(text);
  // The reason is the exception's message, not a line of the messages too.
  const std::string line = "vizmoro-cli: " + reason + "\n";
  if (code != vizmoro_cli::kExitOk) {
    const size_t at = said.find(line);
    if (at != std::string::npos) said.erase(at, line.size());
  }
  const py::object stderrFile = py::module_::import("sys").attr("stderr");
  if (!said.empty() && !stderrFile.is_none()) {
    stderrFile.attr("write")(TextOf(said));
    stderrFile.attr("flush")();
  }
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  py::object results = py::none();
  if (call.command != vizmoro_cli::Command::kTeach) {
    py::list list;
    for (const Report& r : reports)
      list.append(py::make_tuple(r.frame, r.id, ToBox(r.box), r.confidence));
    results = std::move(list);
  }
  if (code != vizmoro_cli::kExitOk) RaiseSessionError(code, reason, results);
  return results;
}

// The Python name of a tracker's motion estimate.
std::string MotionName(vizmoro::TrackerParams::MotionEstimate motion) {
  return motion == vizmoro::TrackerParams::MotionEstimate::kFlow ? "flow" : "filter";
}

}  // namespace

PYBIND11_MODULE(_vizmoro, m) {
  m.doc() =
      "The Vizmoro engine: an associative memory of image patches that learns objects from "
      "video and finds and tracks them again.";
  m.attr("__version__") = VIZMORO_VERSION;

  errorType = PyErr_NewExceptionWithDoc(
      "vizmoro.Error",
      "An operation the memory refused. Attributes: code (OpenCV's status code), operation "
      "(\"CvAssociativeMemory::Read\", ...) and message.",
      PyExc_RuntimeError, nullptr);
  m.attr("Error") = py::handle(errorType);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const cv::Exception& e) {
      py::object error = py::reinterpret_borrow<py::object>(errorType)(
          e.func + ": " + e.err + " (code " + std::to_string(e.code) + ")");
      error.attr("code") = e.code;
      error.attr("operation") = e.func;
      error.attr("message") = e.err;
      PyErr_SetObject(errorType, error.ptr());
    }
  });

  m.attr("BEGIN") = int{RCG_AM_BEGIN};
  m.attr("NO_MATCH") = int{RCG_AM_NO_MATCH};
  m.attr("MATCH") = int{RCG_AM_MATCH};
  m.attr("OBJECT") = int{RCG_AM_OBJECT};
  m.attr("TRACK") = int{RCG_AM_TRACK};
  m.attr("RELEARN") = int{RCG_AM_RELEARN};
  m.attr("END") = int{RCG_AM_END};

  py::class_<Event>(m, "Event", "One event of a search or tracking pass.")
      .def_readonly("code", &Event::code, "BEGIN, NO_MATCH, MATCH, OBJECT, TRACK, RELEARN or END.")
      .def_readonly("index", &Event::index, "The object index concerned (None for BEGIN and END).")
      .def_readonly("rect", &Event::rect, "The image rectangle (x, y, w, h), or None.")
      .def_readonly("similarity", &Event::similarity,
                    "0 to 1; above 0.5: inside a base's threshold.")
      .def_readonly("bases", &Event::bases, "The memory's node count when the event was made.")
      .def_readonly("predicted", &Event::predicted,
                    "TRACK: the tracked object was not seen in this call; its box is where it "
                    "was last seen.")
      .def_readonly("track_data", &Event::trackData,
                    "TRACK and RELEARN of a track: what a callback returned for this tracked "
                    "object at an earlier TRACK event, or None.")
      .def("__repr__", [](const Event& e) {
        static const char* const names[] = {"BEGIN", "NO_MATCH", "MATCH", "OBJECT",
                                            "TRACK", "RELEARN",  "END"};
        const std::string code = e.code >= 0 && e.code < static_cast<int>(std::size(names))
                                     ? names[e.code]
                                     : std::to_string(e.code);
        std::string text = "<Event " + code;
        if (e.index) text += " index=" + std::to_string(*e.index);
        if (e.rect)
          text += " rect=(" + std::to_string(std::get<0>(*e.rect)) + ", " +
                  std::to_string(std::get<1>(*e.rect)) + ", " +
                  std::to_string(std::get<2>(*e.rect)) + ", " +
                  std::to_string(std::get<3>(*e.rect)) + ")";
        text += " similarity=" + FloatText(e.similarity) + " bases=" + std::to_string(e.bases);
        if (e.predicted) text += " predicted=True";
        return text + ">";
      });

  py::class_<ReadResult>(m, "ReadResult", "What a read recalled.")
      .def_readonly("matched", &ReadResult::matched, "Whether every level accepted its base.")
      .def_readonly("found", &ReadResult::found, "The refined window (x, y, w, h).")
      .def_readonly("index", &ReadResult::index, "The object index stored where the walk ended.")
      .def_readonly("base_index", &ReadResult::baseIndex, "The id of the base where it ended.")
      .def_readonly("hits", &ReadResult::hits, "That base's hit count.")
      .def_readonly("similarity", &ReadResult::similarity, "0 to 1.")
      .def("__repr__", [](const ReadResult& r) {
        const auto [x, y, w, h] = r.found;
        return "<ReadResult matched=" + BoolText(r.matched) + " found=(" + std::to_string(x) +
               ", " + std::to_string(y) + ", " + std::to_string(w) + ", " + std::to_string(h) +
               ") index=" + std::to_string(r.index) + " base_index=" + std::to_string(r.baseIndex) +
               " hits=" + std::to_string(r.hits) + " similarity=" + FloatText(r.similarity) + ">";
      });

  py::class_<Node>(m, "Node", "A base of the memory's tree (the root is not listed).")
      .def_readonly("level", &Node::level)
      .def_readonly("id", &Node::id)
      .def_readonly("hits", &Node::hits)
      .def_readonly("data", &Node::data, "The object index of the last write through it.")
      .def_readonly("slots", &Node::slots, "Child slots, empty ones included.")
      .def_readonly("values", &Node::values, "The descriptor, rows x cols int16 (a copy).")
      .def("__repr__", [](const Node& n) {
        return "<Node level=" + std::to_string(n.level) + " id=" + std::to_string(n.id) +
               " hits=" + std::to_string(n.hits) + " data=" + std::to_string(n.data) +
               " slots=" + std::to_string(n.slots) + ">";
      });

  py::class_<LearningOptions> learning(
      m, "LearningOptions", "Options of learning; the defaults are the plain behaviour.");
  py::class_<OptionsView<LearningOptions>> learningView(
      m, "MemoryLearningOptions",
      "The LearningOptions in force in a memory (Memory.learning_options): setting a field sets "
      "it in the memory. LearningOptions(view) is a copy of its own.");
  learning
      .def(py::init([](const OptionsView<LearningOptions>& v) { return v.Get(); }), py::arg("view"))
      .def(py::init([](bool guard, int establishedAfter, int budget) {
             LearningOptions o;
             o.guard = guard;
             o.establishedAfter = establishedAfter;
             o.budget = budget;
             return o;
           }),
           py::arg("guard") = LearningOptions().guard,
           py::arg("established_after") = LearningOptions().establishedAfter,
           py::arg("budget") = LearningOptions().budget)
      .def("__repr__",
           [](const LearningOptions& o) { return "<LearningOptions " + Fields(o) + ">"; });
  learningView.def("__repr__", [](const OptionsView<LearningOptions>& v) {
    return "<MemoryLearningOptions " + Fields(v.Get()) + ">";
  });
  OptionsField(learning, learningView, "guard", &LearningOptions::guard,
               "Relearn only what an established track supports; ignore weak matches that no "
               "track supports.");
  OptionsField(learning, learningView, "established_after", &LearningOptions::establishedAfter,
               "Consecutive confirmations that make a track established.");
  OptionsField(learning, learningView, "budget", &LearningOptions::budget,
               "Bases kept at most (0: no budget); never an object's last branch.");
  py::implicitly_convertible<OptionsView<LearningOptions>, LearningOptions>();

  py::class_<TrackingOptions> tracking(m, "TrackingOptions",
                                       "Options of searching and tracking; the defaults are the "
                                       "plain behaviour.");
  py::class_<OptionsView<TrackingOptions>> trackingView(
      m, "MemoryTrackingOptions",
      "The TrackingOptions in force in a memory (Memory.tracking_options): setting a field sets "
      "it in the memory. TrackingOptions(view) is a copy of its own.");
  tracking
      .def(py::init([](const OptionsView<TrackingOptions>& v) { return v.Get(); }), py::arg("view"))
      .def(py::init([](bool followSize, bool keepIdentities, bool lookBeforeReport) {
             TrackingOptions o;
             o.followSize = followSize;
             o.keepIdentities = keepIdentities;
             o.lookBeforeReport = lookBeforeReport;
             return o;
           }),
           py::arg("follow_size") = TrackingOptions().followSize,
           py::arg("keep_identities") = TrackingOptions().keepIdentities,
           py::arg("look_before_report") = TrackingOptions().lookBeforeReport)
      .def("__repr__",
           [](const TrackingOptions& o) { return "<TrackingOptions " + Fields(o) + ">"; });
  trackingView.def("__repr__", [](const OptionsView<TrackingOptions>& v) {
    return "<MemoryTrackingOptions " + Fields(v.Get()) + ">";
  });
  OptionsField(tracking, trackingView, "sweep_from", &TrackingOptions::sweepFrom,
               "Smallest search window (x area).");
  OptionsField(tracking, trackingView, "sweep_step", &TrackingOptions::sweepStep,
               "Step between window sizes.");
  OptionsField(tracking, trackingView, "sweep_to", &TrackingOptions::sweepTo,
               "Largest window (0: while it fits).");
  OptionsField(tracking, trackingView, "follow_size", &TrackingOptions::followSize,
               "Look for tracked objects around their own size.");
  OptionsField(tracking, trackingView, "follow_from", &TrackingOptions::followFrom,
               "Smallest size looked at, times the area.");
  OptionsField(tracking, trackingView, "follow_to", &TrackingOptions::followTo,
               "Largest size looked at, times the area.");
  OptionsField(tracking, trackingView, "keep_identities", &TrackingOptions::keepIdentities,
               "Weak matches over another object start no track; duplicates merge.");
  OptionsField(tracking, trackingView, "look_before_report", &TrackingOptions::lookBeforeReport,
               "Look for unconfirmed tracks before reporting them.");
  py::implicitly_convertible<OptionsView<TrackingOptions>, TrackingOptions>();

  using vizmoro::SessionParams;
  py::class_<SessionParams>(m, "SessionParams",
                            "The settings of a run that tracks and learns for a long time, as "
                            "vizmoro-cli and vizmoro.batch use them by default. A Memory keeps "
                            "its plain defaults until they are applied to it.")
      .def(py::init<>())
      .def_readwrite("learn_threshold", &SessionParams::learnThreshold,
                     "Memory.track's learn_threshold.")
      .def_readwrite("track_threshold", &SessionParams::trackThreshold,
                     "Memory.track's track_threshold.")
      .def_readwrite("learning", &SessionParams::learning,
                     "The LearningOptions: the guard on, a budget of 2000 bases.")
      .def_readwrite("tracking", &SessionParams::tracking,
                     "The TrackingOptions: sizes followed, identities kept apart, unconfirmed "
                     "tracks looked for before they are reported.")
      .def_readwrite("keep_all", &SessionParams::keepAll,
                     "Memory.save's keep_all: whether a save keeps every base.")
      .def("__repr__", [](const SessionParams& p) {
        return "<SessionParams learn_threshold=" + FloatText(p.learnThreshold) +
               " track_threshold=" + FloatText(p.trackThreshold) + " learning=<" +
               Fields(p.learning) + "> tracking=<" + Fields(p.tracking) +
               "> keep_all=" + BoolText(p.keepAll) + ">";
      });

  py::class_<FileLock>(m, "MemoryFileLock",
                       "The advisory lock a run holds on a memory file (on FILE.lock beside it), "
                       "as every writer of memory files takes it: `with "
                       "vizmoro.MemoryFileLock(path):`. Entering raises BlockingIOError when "
                       "another run holds it.")
      .def(py::init<const py::object&>(), py::arg("path"))
      .def("__enter__", &FileLock::Enter, py::return_value_policy::reference_internal)
      .def("__exit__", &FileLock::Exit)
      .def_property_readonly("held", &FileLock::Held);

  py::class_<Memory>(m, "Memory",
                     "An associative memory of image patches (CvAssociativeMemory).\n\n"
                     "Rectangles are (x, y, w, h) tuples; images are 2-D uint8 numpy arrays, "
                     "which the memory copies. Refused operations raise vizmoro.Error and "
                     "change nothing. Calls from several threads are served one at a time; "
                     "separate memories work at once.")
      .def(py::init<>())
      .def("create", &Memory::Create, py::arg("width"), py::arg("height"), py::arg("levels") = 0,
           "Discards everything learned: an empty memory for an interest area of width x height "
           "pixels (smaller sides are raised to 40) with `levels` levels (0: the default).")
      .def("set_image", &Memory::SetImage, py::arg("grey"), py::arg("mask") = py::none(),
           "Hands the memory the frame that the next calls work on: a 2-D uint8 array and "
           "optionally a mask of its shape (nonzero: usable). Both are copied.")
      .def("write", &Memory::Write, py::arg("area"), py::arg("index"),
           "Teaches the memory that `area` of the current frame shows object `index`.")
      .def("read", &Memory::Read, py::arg("area"), py::arg("force_descent") = false,
           "Recalls what `area` of the current frame shows; returns a ReadResult.")
      .def("recognize", &Memory::Recognize, py::arg("callback") = py::none(),
           "Searches the whole frame. With a callback, calls it with each Event; without, "
           "returns the list of Events. An exception the callback raises propagates once the "
           "pass has finished.")
      .def("track", &Memory::Track, py::arg("callback") = py::none(), py::arg("learning") = true,
           py::arg("learn_threshold") = vizmoro::kLearnThreshold,
           py::arg("track_threshold") = vizmoro::kTrackThreshold,
           "Searches the frame and keeps tracked objects across calls, as recognize reports. A "
           "callback's return value at a TRACK event, when not None, is kept with that tracked "
           "object and given back as Event.track_data.")
      .def("save", &Memory::Save, py::arg("path"), py::arg("keep_all") = false,
           "Saves to a memory file, replacing it whole; prunes first unless keep_all. Raises "
           "OSError when the file cannot be written, vizmoro.Error when the memory is not "
           "created.")
      .def("load", &Memory::Load, py::arg("path"),
           "Loads a memory file. Raises OSError when it cannot be read, ValueError when it is no "
           "memory file, vizmoro.Error when its data is refused.")
      .def("pack", &Memory::Pack, "The packed data: a little-endian image of the whole memory.")
      .def("unpack", &Memory::Unpack, py::arg("data"), "Rebuilds the memory from packed data.")
      .def("prune", &Memory::Prune, "Removes every base learned three times or less.")
      .def("__repr__", &Memory::Describe)
      .def(py::pickle([](Memory& m) { return m.State(); }, &Memory::FromState),
           "Pickles as its packed data and its options; a memory not created pickles too.")
      .def("nodes", &Memory::Nodes, "Every base below the root, depth first, as Nodes.")
      .def("fitted_box", &Memory::FittedBox, py::arg("found"), py::arg("taught"),
           "The box of an object taught with a box of `taught` (w, h) size, for a rectangle the "
           "memory reported. Raises OverflowError when the box reaches beyond int.")
      .def_property(
          "learning_options",
          [](py::object self) { return OptionsView<LearningOptions>(std::move(self)); },
          [](Memory& m, const LearningOptions& o) {
            m.With([&](auto& a) { a.SetLearningOptions(o); });
          },
          "The LearningOptions in force, as a MemoryLearningOptions: setting one of its fields "
          "sets it in the memory.")
      .def_property(
          "tracking_options",
          [](py::object self) { return OptionsView<TrackingOptions>(std::move(self)); },
          [](Memory& m, const TrackingOptions& o) {
            m.With([&](auto& a) { a.SetTrackingOptions(o); });
          },
          "The TrackingOptions in force, as a MemoryTrackingOptions: setting one of its fields "
          "sets it in the memory.")
      .def_property_readonly(
          "node_count", [](Memory& m) { return m.With([](auto& a) { return a.GetNodeCount(); }); })
      .def_property_readonly(
          "max_depth", [](Memory& m) { return m.With([](auto& a) { return a.GetMaxDepth(); }); })
      .def_property_readonly(
          "last_node_id",
          [](Memory& m) { return m.With([](auto& a) { return a.GetLastNodeId(); }); })
      .def_property_readonly(
          "access_count",
          [](Memory& m) { return m.With([](auto& a) { return a.GetAccessCount(); }); })
      .def_property_readonly(
          "packed_size",
          [](Memory& m) { return m.With([](auto& a) { return a.GetPackedSize(); }); })
      .def_property_readonly(
          "size",
          [](Memory& m) {
            const cv::Size s = m.With([](auto& a) { return a.GetSize(); });
            return std::make_pair(s.width, s.height);
          },
          "The interest area (w, h).");

  using vizmoro::TrackedObjectState;
  using vizmoro::TrackerParams;
  using vizmoro::TrackReport;
  py::class_<TrackerParams>(m, "TrackerParams", "A tracker's options, fixed when it is made.")
      .def_property_readonly(
          "area",
          [](const TrackerParams& p) { return std::make_pair(p.area.width, p.area.height); },
          "The interest area (w, h) every object is resampled to, when the tracker creates the "
          "memory.")
      .def_readonly("levels", &TrackerParams::levels, "The memory's levels, when it creates it.")
      .def_readonly("warps", &TrackerParams::warps, "Warped copies of a taught box taught with it.")
      .def_readonly("confirm", &TrackerParams::confirm,
                    "Whether the memory confirms every reported box (else motion alone).")
      .def_readonly("learn", &TrackerParams::learn, "Whether the memory is taught from the track.")
      .def_readonly("coast", &TrackerParams::coast,
                    "Frames an object may go unconfirmed, not reported, before it is absent.")
      .def_readonly("reacquire", &TrackerParams::reacquire,
                    "Consecutive frames an absent object must be recognised on to be reported.")
      .def_readonly("frame_search_reads", &TrackerParams::frameSearchReads,
                    "Reads per frame for the whole-frame search of absent objects.")
      .def_property_readonly(
          "motion", [](const TrackerParams& p) { return MotionName(p.motion); },
          "The motion estimate: \"filter\" (a correlation filter) or \"flow\" (optical flow).")
      .def("__repr__", [](const TrackerParams& p) {
        return "<TrackerParams area=(" + std::to_string(p.area.width) + ", " +
               std::to_string(p.area.height) + ") levels=" + std::to_string(p.levels) +
               " warps=" + std::to_string(p.warps) + " confirm=" + (p.confirm ? "True" : "False") +
               " learn=" + (p.learn ? "True" : "False") + " coast=" + std::to_string(p.coast) +
               " reacquire=" + std::to_string(p.reacquire) +
               " frame_search_reads=" + std::to_string(p.frameSearchReads) + " motion='" +
               MotionName(p.motion) + "'>";
      });

  py::class_<TrackReport>(m, "TrackReport", "What the tracker says of one object on one frame.")
      .def_readonly("id", &TrackReport::id)
      .def_readonly("present", &TrackReport::present,
                    "Whether it was confidently found on this frame; when not, box is its last "
                    "place.")
      .def_property_readonly(
          "box", [](const TrackReport& r) { return ToBox(r.box); }, "(x, y, w, h) in frame pixels.")
      .def_readonly("confidence", &TrackReport::confidence,
                    "0 to 1: how deep and how closely the memory recognised the box (0 when "
                    "absent).")
      .def("__repr__", [](const TrackReport& r) {
        return "<TrackReport id=" + std::to_string(r.id) +
               " present=" + (r.present ? "True" : "False") + " box=(" + std::to_string(r.box.x) +
               ", " + std::to_string(r.box.y) + ", " + std::to_string(r.box.width) + ", " +
               std::to_string(r.box.height) + ") confidence=" + std::to_string(r.confidence) + ">";
      });

  py::class_<TrackedObjectState>(m, "TrackedObject", "What the tracker keeps of one object.")
      .def_property_readonly(
          "taught",
          [](const TrackedObjectState& o) {
            return std::make_pair(o.taught.width, o.taught.height);
          },
          "The size (w, h) of its first taught box.")
      .def_readonly("key_frames", &TrackedObjectState::keyFrames, "Boxes it was taught from.")
      .def("__repr__", [](const TrackedObjectState& o) {
        return "<TrackedObject taught=(" + std::to_string(o.taught.width) + ", " +
               std::to_string(o.taught.height) + ") key_frames=" + std::to_string(o.keyFrames) +
               ">";
      });

  const TrackerParams defaults;
  py::class_<Tracker>(
      m, "Tracker",
      "Follows objects through video from one box each, judged and taught by a Memory, which it "
      "keeps alive. Frames are uint8 numpy arrays, H x W (grey), H x W x 3 (BGR, as cv2 reads "
      "them) or H x W x 4 (BGRA), in any layout; the tracker copies them. It shares its "
      "memory's one call at a time with the memory's own calls, and refuses to teach or track "
      "from inside the memory's callback. It hands the memory frames of its own: call set_image "
      "again before reading or writing the memory yourself. What it mistakes for an object is "
      "taught as index 0, background.")
      .def(py::init([](Memory& memory, std::pair<int64_t, int64_t> area, int64_t levels,
                       int64_t warps, bool confirm, bool learn, int64_t coast, int64_t reacquire,
                       int64_t frameSearchReads, const std::string& motion) {
             TrackerParams p;
             if (motion == MotionName(TrackerParams::MotionEstimate::kFlow))
               p.motion = TrackerParams::MotionEstimate::kFlow;
             else if (motion == MotionName(TrackerParams::MotionEstimate::kCorrelationFilter))
               p.motion = TrackerParams::MotionEstimate::kCorrelationFilter;
             else
               throw py::value_error("motion must be \"filter\" or \"flow\", not \"" + motion +
                                     "\"");
             p.area = cv::Size(ToInt(area.first, "area"), ToInt(area.second, "area"));
             p.levels = ToInt(levels, "levels");
             p.warps = ToInt(warps, "warps");
             p.confirm = confirm;
             p.learn = learn;
             p.coast = ToInt(coast, "coast");
             p.reacquire = ToInt(reacquire, "reacquire");
             p.frameSearchReads = ToInt(frameSearchReads, "frame_search_reads");
             return std::make_unique<Tracker>(memory, p);
           }),
           py::keep_alive<1, 2>(), py::arg("memory"), py::kw_only(),
           py::arg("area") = std::make_pair(defaults.area.width, defaults.area.height),
           py::arg("levels") = defaults.levels, py::arg("warps") = defaults.warps,
           py::arg("confirm") = defaults.confirm, py::arg("learn") = defaults.learn,
           py::arg("coast") = defaults.coast, py::arg("reacquire") = defaults.reacquire,
           py::arg("frame_search_reads") = defaults.frameSearchReads,
           py::arg("motion") = MotionName(defaults.motion),
           "A tracker over `memory`. When the memory is not created yet, the first teach "
           "creates it for `area` (w, h) and `levels`. Options out of range raise "
           "vizmoro.Error.")
      .def("teach", &Tracker::Teach, py::arg("frame"), py::arg("id"), py::arg("box"),
           "Teaches object `id` (1 or more) from `box` (x, y, w, h), inside the frame and 4 x 4 "
           "pixels or more, and follows it from there: a first box, or a key frame of an object "
           "already taught. A refused box or id raises vizmoro.Error and changes nothing.")
      .def("track", &Tracker::Track, py::arg("frame"),
           "Follows every object into `frame`, the next frame of the video; returns a "
           "TrackReport per object, in id order. Objects loaded but not taught in this run start "
           "absent and are searched for; a frame of another size restarts every object as "
           "absent.")
      .def("add_object", &Tracker::AddObject, py::arg("id"), py::arg("taught"),
           "Makes object `id` (1 or more) known without teaching it, with the size (w, h) it "
           "was taught at, as a loaded state does: for a memory taught without a tracker, whose "
           "names file holds the sizes. It starts absent, with no key frames, and is looked for "
           "at that size. A refused id or size raises vizmoro.Error and changes nothing.")
      .def_property_readonly("objects", &Tracker::Objects,
                             "The objects the tracker knows: {id: TrackedObject}.")
      .def_property_readonly("params", &Tracker::Params, "The TrackerParams it was made with.")
      .def("save_state", &Tracker::SaveState,
           "The state that the memory file cannot hold (each object's taught size, the area), as "
           "text.")
      .def("load_state", &Tracker::LoadState, py::arg("text"),
           "Replaces the objects' state with one save_state gave. Text that is no tracker state, "
           "or whose area differs from the memory's, raises vizmoro.Error and changes nothing.")
      .def("read_state_file", &Tracker::ReadStateFile, py::arg("path"),
           "Loads the state file (see state_path); False when there is none. Raises OSError when "
           "it cannot be read, vizmoro.Error when it is refused (nothing changes then).")
      .def("write_state_file", &Tracker::WriteStateFile, py::arg("path"),
           "Writes the state file, replacing it whole. Raises OSError when it cannot, the old "
           "file left as it was.");

  m.def(
      "state_path",
      [](const py::object& memoryFile) {
        return PathText(vizmoro::StatePath(PathBytes(memoryFile)));
      },
      py::arg("memory_file"), "The file beside a memory file that holds its tracker's state.");

  m.def(
      "parse_int",
      [](const py::str& text, long long low, long long high) -> py::object {
        long long value = 0;
        if (!vizmoro::ParseInt(TextBytes(text), low, high, value)) return py::none();
        return py::int_(value);
      },
      py::arg("text"), py::arg("low"), py::arg("high"),
      "A whole number from low to high as vizmoro-cli reads one (digits, an optional '-' first), "
      "or None.");
  m.def(
      "parse_range",
      [](const py::str& text) -> py::object {
        vizmoro::FrameRange range;
        if (!vizmoro::ParseRange(TextBytes(text), range)) return py::none();
        return py::make_tuple(range.first, range.last);
      },
      py::arg("text"), "Frames \"A-B\" (A <= B) or \"A\" as (first, last), or None.");
  m.def("parse_object", &ParseObjectText, py::arg("text"),
        "An --object argument, \"ID:NAME\", \"ID:NAME:X,Y,W,H\" or \"ID:NAME:X,Y,W,H@A-B\", as "
        "vizmoro-cli reads it: (id, name, (x, y, w, h) or None, (first, last) or None). Raises "
        "ValueError with vizmoro-cli's reason when it refuses it.");
  m.def(
      "names_path",
      [](const py::object& memoryFile) {
        return PathText(vizmoro::NamesPath(PathBytes(memoryFile)));
      },
      py::arg("memory_file"),
      "The file beside a memory file that holds its objects' names and taught sizes.");
  m.def("read_names", &ReadNamesFile, py::arg("path"),
        "The names file (see names_path) as {id: (name, (w, h))}; {} when there is none. Raises "
        "ValueError for a line that is not ID<TAB>NAME<TAB>W<TAB>H, OSError for a file that "
        "cannot be read or is not a regular file.");
  m.def("write_names", &WriteNamesFile, py::arg("path"), py::arg("names"),
        "Writes {id: (name, (w, h))} as a names file, replacing it whole. Raises OSError when it "
        "cannot, the old file left as it was.");
  m.def(
      "mot_line",
      [](int frame, int32_t id, const Box& box, double conf) {
        return vizmoro::MotLine(frame, id, ToRect(box), conf);
      },
      py::arg("frame"), py::arg("id"), py::arg("box"), py::arg("conf"),
      "One line of results, with its line feed, as vizmoro-cli writes it: "
      "\"frame,id,x,y,w,h,conf,-1,-1,-1\" with frames from 1.");

  // teach, track and run: vizmoro-cli's sessions, with its defaults.
  using vizmoro_cli::Command;
  const vizmoro_cli::Arguments cli;
  const char* const sessionNotes =
      "\n\nvideo, memory, results and video_output are paths (str or os.PathLike); video is "
      "anything the video library opens, \"0\" a camera. Each option is vizmoro-cli's of the "
      "same name, with its default. Messages (the summary, notes) go to sys.stderr. A refused "
      "call raises ValueError with vizmoro-cli's reason; a run that fails or falls short raises "
      "what its exit code means: ValueError (1), OSError (2: an input, or an object whose frames "
      "the video does not reach; 3: an output), BlockingIOError (4: another run holds the "
      "memory file), with exit_code and results (as far as they came) as attributes; what was "
      "learned is saved as vizmoro-cli saves it. Ctrl+C ends the run after the current frame, "
      "saves the memory and raises KeyboardInterrupt. The GIL is released while it runs.";
  m.def(
      "teach",
      [](const py::object& video, const py::object& objects, const py::object& memory,
         const py::object& frames, int levels, bool plain, bool guard, int budget, bool prune,
         bool flip, bool hueMask, bool quiet) {
        const SessionCall call{Command::kTeach, video,     objects, memory, frames, py::none(),
                               py::none(),      levels,    budget,  plain,  true,   guard,
                               prune,           flip,      hueMask, false,  true,   true,
                               quiet,           py::none()};
        RunSessionCall(call);
      },
      py::arg("video"), py::arg("objects"), py::arg("memory") = cli.memory, py::kw_only(),
      py::arg("frames") = py::none(), py::arg("levels") = cli.levels, py::arg("plain") = cli.plain,
      py::arg("guard") = cli.guard, py::arg("budget") = cli.budget, py::arg("prune") = cli.prune,
      py::arg("flip") = cli.flip, py::arg("hue_mask") = cli.hueMask, py::arg("quiet") = cli.quiet,
      (std::string("vizmoro-cli teach: teaches the memory file each object from its box on its "
                   "frames (default: the first only). objects: \"ID:NAME:X,Y,W,H[@A-B]\" texts "
                   "or (id, name, (x, y, w, h), (first, last) or None) tuples; frames: the "
                   "frames of objects without their own, \"A-B\" or (first, last).") +
       sessionNotes)
          .c_str());
  m.def(
      "track",
      [](const py::object& video, const py::object& memory, const py::object& results,
         const py::object& videoOutput, const py::object& frames, bool plain, bool learn,
         bool guard, int budget, bool prune, bool flip, bool hueMask, bool seenOnly,
         const py::object& coast, bool followSize, bool keepIdentities, bool quiet) {
        const SessionCall call{Command::kTrack, video,          py::none(),  memory,
                               frames,          results,        videoOutput, 0,
                               budget,          plain,          learn,       guard,
                               prune,           flip,           hueMask,     seenOnly,
                               followSize,      keepIdentities, quiet,       coast};
        return RunSessionCall(call);
      },
      py::arg("video"), py::arg("memory") = cli.memory, py::kw_only(),
      py::arg("results") = py::none(), py::arg("video_output") = py::none(),
      py::arg("frames") = py::none(), py::arg("plain") = cli.plain, py::arg("learn") = cli.learn,
      py::arg("guard") = cli.guard, py::arg("budget") = cli.budget, py::arg("prune") = cli.prune,
      py::arg("flip") = cli.flip, py::arg("hue_mask") = cli.hueMask,
      py::arg("seen_only") = cli.seenOnly, py::arg("coast") = py::none(),
      py::arg("follow_size") = cli.followSize, py::arg("keep_identities") = cli.keepIdentities,
      py::arg("quiet") = cli.quiet,
      (std::string("vizmoro-cli track: finds and follows every object the memory file was "
                   "taught, learning as it goes, and saves the memory. Returns the results, "
                   "[(frame, id, (x, y, w, h), confidence)] with frames from 1, as they are also "
                   "written to the file `results` in the MOT format where it is given; "
                   "video_output is an annotated copy of the video; frames, \"A-B\" or "
                   "(first, last) counted from 0, tracks those frames only; coast, the frames an "
                   "object not seen is still listed (None: vizmoro-cli's default).") +
       sessionNotes)
          .c_str());
  m.def(
      "run",
      [](const py::object& video, const py::object& objects, const py::object& memory,
         const py::object& frames, const py::object& results, const py::object& videoOutput,
         int levels, bool plain, bool learn, bool guard, int budget, bool prune, bool flip,
         bool hueMask, bool seenOnly, const py::object& coast, bool followSize, bool keepIdentities,
         bool quiet) {
        const SessionCall call{Command::kRun, video,       objects,        memory, frames,
                               results,       videoOutput, levels,         budget, plain,
                               learn,         guard,       prune,          flip,   hueMask,
                               seenOnly,      followSize,  keepIdentities, quiet,  coast};
        return RunSessionCall(call);
      },
      py::arg("video"), py::arg("objects"), py::arg("memory") = cli.memory, py::kw_only(),
      py::arg("frames") = py::none(), py::arg("results") = py::none(),
      py::arg("video_output") = py::none(), py::arg("levels") = cli.levels,
      py::arg("plain") = cli.plain, py::arg("learn") = cli.learn, py::arg("guard") = cli.guard,
      py::arg("budget") = cli.budget, py::arg("prune") = cli.prune, py::arg("flip") = cli.flip,
      py::arg("hue_mask") = cli.hueMask, py::arg("seen_only") = cli.seenOnly,
      py::arg("coast") = py::none(), py::arg("follow_size") = cli.followSize,
      py::arg("keep_identities") = cli.keepIdentities, py::arg("quiet") = cli.quiet,
      (std::string("vizmoro-cli run: teaches the objects on their frames and tracks them on "
                   "every other frame, in one pass, as teach and track would; returns the "
                   "results of the tracked frames as track does.") +
       sessionNotes)
          .c_str());
}
