// The Python module vizmoro._vizmoro: CvAssociativeMemory as vizmoro.Memory, in Python's
// conventions. The engine keeps shallow references to the frame and blurs the mask in place, so
// the module hands it copies of its own and never writes into the caller's arrays. The GIL is
// released while the engine works; callbacks take it back. A memory serves one call at a time:
// calls from other threads wait for it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/memory_file.hpp>

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

// A path as the C library takes it: as Python's own calls do, one with a NUL is refused rather
// than cut short there.
const char* CPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return path.c_str();
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
  void Save(const std::string& path, bool keepAll) {
    const char* file = CPath(path);
    CallGate::Pass pass(gate_);
    bool saved;
    int error;
    {
      py::gil_scoped_release released;
      errno = 0;
      saved = memory_.SaveToFile(file, keepAll);
      error = errno;
    }
    if (!saved) {
      errno = error ? error : EIO;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
      throw py::error_already_set();
    }
  }
  void Load(const std::string& path) {
    const char* file = CPath(path);
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
    if (error) {
      errno = error;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
      throw py::error_already_set();
    }
    throw py::value_error(path + " is not a memory file, or it is cut short");
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

  // What a call does with the memory, through the gate: the options and the counters.
  template <typename F>
  auto With(F&& use) {
    CallGate::Pass pass(gate_);
    return use(memory_);
  }

 private:
  CvAssociativeMemory memory_;
  cv::Mat image_, mask_;
  CallGate gate_;
};

// The lock a run holds on a memory file, as a context manager.
class FileLock {
 public:
  explicit FileLock(std::string path) : path_(std::move(path)) { CPath(path_); }
  FileLock& Enter() {
    std::string why;
    lock_ = vizmoro::MemoryFileLock::Acquire(path_, &why);
    if (!lock_.held()) {
      PyErr_SetString(PyExc_BlockingIOError, ("cannot lock " + path_ + ": " + why).c_str());
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

}  // namespace

PYBIND11_MODULE(_vizmoro, m) {
  m.doc() =
      "The Vizmoro engine: an associative memory of image patches that learns objects from "
      "video and finds and tracks them again.";

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
        return "<Event code=" + std::to_string(e.code) +
               (e.index ? " index=" + std::to_string(*e.index) : "") +
               " similarity=" + std::to_string(e.similarity) + ">";
      });

  py::class_<ReadResult>(m, "ReadResult", "What a read recalled.")
      .def_readonly("matched", &ReadResult::matched, "Whether every level accepted its base.")
      .def_readonly("found", &ReadResult::found, "The refined window (x, y, w, h).")
      .def_readonly("index", &ReadResult::index, "The object index stored where the walk ended.")
      .def_readonly("base_index", &ReadResult::baseIndex, "The id of the base where it ended.")
      .def_readonly("hits", &ReadResult::hits, "That base's hit count.")
      .def_readonly("similarity", &ReadResult::similarity, "0 to 1.");

  py::class_<Node>(m, "Node", "A base of the memory's tree (the root is not listed).")
      .def_readonly("level", &Node::level)
      .def_readonly("id", &Node::id)
      .def_readonly("hits", &Node::hits)
      .def_readonly("data", &Node::data, "The object index of the last write through it.")
      .def_readonly("slots", &Node::slots, "Child slots, empty ones included.")
      .def_readonly("values", &Node::values, "The descriptor, rows x cols int16 (a copy).");

  py::class_<LearningOptions>(m, "LearningOptions",
                              "Options of learning; the defaults are the plain behaviour.")
      .def(py::init([](bool guard, int establishedAfter, int budget) {
             LearningOptions o;
             o.guard = guard;
             o.establishedAfter = establishedAfter;
             o.budget = budget;
             return o;
           }),
           py::arg("guard") = false, py::arg("established_after") = 3, py::arg("budget") = 0)
      .def_readwrite("guard", &LearningOptions::guard,
                     "Relearn only what an established track supports; ignore weak matches "
                     "that no track supports.")
      .def_readwrite("established_after", &LearningOptions::establishedAfter,
                     "Consecutive confirmations that make a track established.")
      .def_readwrite("budget", &LearningOptions::budget,
                     "Bases kept at most (0: no budget); never an object's last branch.");

  py::class_<TrackingOptions>(m, "TrackingOptions",
                              "Options of searching and tracking; the defaults are the plain "
                              "behaviour.")
      .def(py::init([](bool followSize, bool keepIdentities, bool lookBeforeReport) {
             TrackingOptions o;
             o.followSize = followSize;
             o.keepIdentities = keepIdentities;
             o.lookBeforeReport = lookBeforeReport;
             return o;
           }),
           py::arg("follow_size") = false, py::arg("keep_identities") = false,
           py::arg("look_before_report") = false)
      .def_readwrite("sweep_from", &TrackingOptions::sweepFrom, "Smallest search window (x area).")
      .def_readwrite("sweep_step", &TrackingOptions::sweepStep, "Step between window sizes.")
      .def_readwrite("sweep_to", &TrackingOptions::sweepTo, "Largest window (0: while it fits).")
      .def_readwrite("follow_size", &TrackingOptions::followSize,
                     "Look for tracked objects around their own size.")
      .def_readwrite("follow_from", &TrackingOptions::followFrom)
      .def_readwrite("follow_to", &TrackingOptions::followTo)
      .def_readwrite("keep_identities", &TrackingOptions::keepIdentities,
                     "Weak matches over another object start no track; duplicates merge.")
      .def_readwrite("look_before_report", &TrackingOptions::lookBeforeReport,
                     "Look for unconfirmed tracks before reporting them.");

  py::class_<FileLock>(m, "MemoryFileLock",
                       "The advisory lock a run holds on a memory file (on FILE.lock beside it), "
                       "as every writer of memory files takes it: `with "
                       "vizmoro.MemoryFileLock(path):`. Entering raises BlockingIOError when "
                       "another run holds it.")
      .def(py::init<std::string>(), py::arg("path"))
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
           py::arg("learn_threshold") = static_cast<double>(0.54f),
           py::arg("track_threshold") = static_cast<double>(0.45f),
           "Searches the frame and keeps tracked objects across calls, as recognize reports. A "
           "callback's return value at a TRACK event, when not None, is kept with that tracked "
           "object and given back as Event.track_data.")
      .def("save", &Memory::Save, py::arg("path"), py::arg("keep_all") = false,
           "Saves to a memory file, replacing it whole; prunes first unless keep_all. Raises "
           "OSError when it cannot.")
      .def("load", &Memory::Load, py::arg("path"),
           "Loads a memory file. Raises OSError when it cannot be read, ValueError when it is no "
           "memory file, vizmoro.Error when its data is refused.")
      .def("pack", &Memory::Pack, "The packed data: a little-endian image of the whole memory.")
      .def("unpack", &Memory::Unpack, py::arg("data"), "Rebuilds the memory from packed data.")
      .def("prune", &Memory::Prune, "Removes every base learned three times or less.")
      .def("nodes", &Memory::Nodes, "Every base below the root, depth first, as Nodes.")
      .def("fitted_box", &Memory::FittedBox, py::arg("found"), py::arg("taught"),
           "The box of an object taught with a box of `taught` (w, h) size, for a rectangle the "
           "memory reported. Raises OverflowError when the box reaches beyond int.")
      .def_property(
          "learning_options",
          [](Memory& m) { return m.With([](auto& a) { return a.GetLearningOptions(); }); },
          [](Memory& m, const LearningOptions& o) {
            m.With([&](auto& a) { a.SetLearningOptions(o); });
          },
          "The LearningOptions in force.")
      .def_property(
          "tracking_options",
          [](Memory& m) { return m.With([](auto& a) { return a.GetTrackingOptions(); }); },
          [](Memory& m, const TrackingOptions& o) {
            m.With([&](auto& a) { a.SetTrackingOptions(o); });
          },
          "The TrackingOptions in force.")
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
}
