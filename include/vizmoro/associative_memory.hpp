// Vizmoro: an associative memory of image patches that learns objects from video and finds and
// tracks them again.
//
// The memory describes a rectangle of an 8-bit grey image (the interest area) at successively
// finer levels by small grids of 16-bit cell-contrast values, and keeps what it learned as a tree
// of such descriptors. Write() teaches it that an area shows an object index, Read() asks what an
// area shows, ObjectRecognition() and ObjectTracking() search a whole image and report through a
// callback, and SaveToFile()/LoadFromFile() keep the memory between runs.
//
// Errors are reported through cv::error, which throws cv::Exception carrying the status code, the
// operation ("CvAssociativeMemory::Read", ...) and the message. Every precondition is checked
// before anything changes, so a refused call leaves the memory as it was.
//
// One memory object is used by one thread at a time.
#ifndef VIZMORO_ASSOCIATIVE_MEMORY_HPP
#define VIZMORO_ASSOCIATIVE_MEMORY_HPP

#include <cstdint>
#include <memory>

#include <opencv2/core.hpp>

struct CvAssociativeMemoryState;

// Event codes of RcgAMFunc.
enum {
  RCG_AM_BEGIN = 0,     // first event of a recognition or tracking call
  RCG_AM_NO_MATCH = 1,  // a search window recalled no object
  RCG_AM_MATCH = 2,     // a search window recalled an object
  RCG_AM_OBJECT = 3,    // a found object of ObjectRecognition
  RCG_AM_TRACK = 4,     // a live tracked object of ObjectTracking
  RCG_AM_RELEARN = 5,   // the memory was taught an object again
  RCG_AM_END = 6        // last event of the call
};

// Base of the block a callback may attach to a tracked object through RcgAMResult::userSlot.
// Once stored, the memory owns the block and deletes it when the track is dropped, when the
// memory is re-created and when it is destroyed.
struct AMUserBlock {
  virtual ~AMUserBlock() = default;
};

// The record of one callback event.
struct RcgAMResult {
  cv::Rect rect;      // image rectangle of the event
  double similarity;  // 0..1; above 0.5 means inside the matched base's threshold
  uint32_t bases;     // node count of the memory when the record was filled
  // RCG_AM_TRACK, and RCG_AM_RELEARN of a tracked object: the tracked object's user block.
  // Null for every other event.
  std::unique_ptr<AMUserBlock>* userSlot;
  // RCG_AM_TRACK: the tracked object was not confirmed in this call (yet: see
  // TrackingOptions::lookBeforeReport), so `rect` is where it was last seen, not where it is.
  // False for every other event.
  bool predicted = false;
};

// Result callback. objectIndex and result are null for RCG_AM_BEGIN and RCG_AM_END; both point
// into the memory and are valid only during the call.
//
// Calling back into the memory. While a callback runs, and while a user block's destructor runs
// as the memory frees it, the memory may only be looked at: GetNodeCount, GetMaxDepth,
// GetLastNodeId, GetAccessCount, GetSize, VisitNodes, GetPackedSize, WritePackedData and
// SaveToFile with keepAll. Every other call (Create, SetImage, Write, Read, ObjectRecognition,
// ObjectTracking, ReadPackedData, LoadFromFile, Prune, SaveToFile without keepAll) would change
// what the running pass uses: it is refused with cv::Exception (StsError) and changes nothing.
//
// A callback that throws. No later event of the pass is delivered; the pass finishes its work
// (grouping, relearning, tracking) and then rethrows the exception, so the memory is left as
// after a whole pass, never half-way through one.
typedef void (*RcgAMFunc)(int code, uint32_t* objectIndex, RcgAMResult* result, void* userData);

// Node visitor: cols x rows descriptor values (row by row), the node's data field, its id and
// hits, the number of its child slots (empty ones included), its level and the user pointer.
// Returning false stops the visit.
typedef bool (*NodeAMFunc)(int cols, int rows, const int16_t* values, int32_t* data, uint64_t id,
                           uint64_t hits, int slots, int16_t level, void* user);

// Options of learning, for memories that go on learning for hours. Each default is the memory's
// plain behaviour: with LearningOptions{} every event, every base and every saved file is
// exactly what it is without options.
struct LearningOptions {
  // The learning guard. Off by default. When on, ObjectTracking relearns only what an
  // established track supports, and weak matches that no track supports are ignored:
  //   ensures: a found object is taught again (RCG_AM_RELEARN) only when it confirms a track
  //     that was confirmed in each of the previous `establishedAfter` calls;
  //   ensures: a track's own extra reads teach the memory only when the track was confirmed in
  //     the previous call and is established in the same sense;
  //   ensures: a found object whose mean similarity is below learnThreshold and that confirms
  //     no live track starts no track and is not taught: background that matches weakly never
  //     becomes the object, nor is it reported.
  bool guard = false;
  // Consecutive confirmations that make a track established (at least 1).
  int establishedAfter = 3;

  // The base budget: 0 (the default) for none. When set, after every Write and every
  // ObjectTracking call that leaves more than `budget` bases (the root not counted), the
  // weakest are removed, fewest hits first (among equal hits the oldest), a branch at a time,
  // until at most nine tenths of the budget are left:
  //   ensures: after such a call the memory holds at most `budget` bases, unless the last
  //     branches of its objects alone hold more;
  //   ensures: the last remaining branch of every object index is never removed, so the budget
  //     never makes the memory forget an object it was taught.
  // Removed bases leave empty slots, as Prune does.
  int budget = 0;
};

// Options of searching and tracking, for footage beyond the demonstration. Each default is the
// memory's plain behaviour: with TrackingOptions{} every event is exactly what it is without
// options.
struct TrackingOptions {
  // The window sizes of the whole-frame search, relative to the interest area: from sweepFrom
  // by sweepStep while a window fits the image and, when sweepTo is above 0, up to sweepTo. The
  // defaults are the plain sequence 0.75, 1, 1.25, ...
  double sweepFrom = 0.75, sweepStep = 0.25, sweepTo = 0;

  // Follow the size of tracked objects. An unconfirmed tracked object is looked for at its own
  // size and a little smaller and larger (between followFrom and followTo times the area),
  // around its predicted centre, instead of at the area's size:
  //   ensures: a tracked object can follow its object from followFrom to followTo times the
  //     taught size while the whole-frame search stays at its own sizes;
  //   ensures: what is read at a size other than the area's is never taught (relearned).
  bool followSize = false;
  double followFrom = 0.5, followTo = 2.0;

  // Keep identities apart:
  //   ensures: a found object whose mean similarity is below learnThreshold, that overlaps a
  //     tracked object of another index confirmed in the same call, starts no tracked object;
  //   ensures: of two live tracked objects of one index whose boxes overlap by more than half
  //     (intersection over union), the less similar one is dropped.
  bool keepIdentities = false;

  // Look for unconfirmed tracked objects again before reporting them, so that
  // RcgAMResult::predicted tells whether the reported box was seen in this call; their
  // RCG_AM_RELEARN then comes before their RCG_AM_TRACK.
  bool lookBeforeReport = false;
};

class CvAssociativeMemory {
 public:
  // blockSize is kept for compatibility with callers of the storage-based interface; unused.
  // Throws cv::Exception (StsBadArg) where the environment variable VIZMORO_FORCE_ISA, for tests
  // and benchmarks, names an instruction set other than scalar, avx2 or avx512, or one that this
  // processor does not run.
  explicit CvAssociativeMemory(int blockSize = 0);
  ~CvAssociativeMemory();
  CvAssociativeMemory(const CvAssociativeMemory&) = delete;
  CvAssociativeMemory& operator=(const CvAssociativeMemory&) = delete;

  // Discards everything learned and makes an empty memory for an interest area of
  // width x height pixels (smaller sides are raised to 40; a side above 4096 is refused) with
  // `levels` levels below the root (0 or less selects the default; more than the area allows
  // are capped). Tracked objects are dropped and the source image must be set again.
  void Create(int width, int height, int16_t levels = 0);

  // Hands the memory the frame that the following calls work on: an 8-bit single-channel
  // image and, optionally, an 8-bit single-channel mask of the same size (an empty Mat for
  // none). The mask is blurred in place. Both Mats are shallow copies: the pixels stay alive
  // until the next SetImage.
  void SetImage(const cv::Mat& image, const cv::Mat& mask = cv::Mat());

  // Teaches the memory that `area` of the current image shows the object *apData.
  void Write(cv::Rect area, const int32_t* apData);

  // Recalls what `area` of the current image shows. foundRect receives the refined window;
  // the optional outputs describe the node where the walk ended (dataRef points at its stored
  // object index) and the similarity (0..1). With forceDescent the walk goes on to the deepest
  // level even after a level did not accept. Returns whether every level accepted.
  //
  // *dataRef stays valid until the next call that walks or changes the tree (Create, Write, Read,
  // ObjectRecognition, ObjectTracking, ReadPackedData, LoadFromFile, SaveToFile, Prune): the
  // pruning that every 100,000,000th read or write makes is, when a Read reaches that count, left
  // to the start of the next such call. Until then GetNodeCount, VisitNodes, WritePackedData and
  // the other inspectors see the tree before that pruning.
  bool Read(cv::Rect area, cv::Rect& foundRect, int32_t** dataRef = nullptr,
            uint64_t* baseIndex = nullptr, uint64_t* hitCounter = nullptr,
            double* similarity = nullptr, bool forceDescent = false);

  // Searches the whole current image and reports every window and every found object.
  void ObjectRecognition(RcgAMFunc func, void* userData);

  // Searches the current image and keeps tracked objects across calls; with `learning`, found
  // objects recalled below learnThreshold are taught again, and unconfirmed tracked objects
  // are looked for around their predicted place and confirmed above trackThreshold.
  void ObjectTracking(RcgAMFunc func, void* userData, bool learning, double learnThreshold,
                      double trackThreshold);

  // Packed data: a little-endian image of the whole memory. GetPackedSize() bytes are needed
  // for WritePackedData. ReadPackedData checks the whole buffer before it replaces the memory.
  int GetPackedSize() const;
  void WritePackedData(void* buffer) const;
  void ReadPackedData(const void* buffer, size_t size);

  // The memory file: a 7-byte magic, the packed size and the packed data. SaveToFile prunes
  // first unless keepAll, and replaces the file atomically (see vizmoro/memory_file.hpp): on any
  // failure the previous file stays as it was, the result is false and errno says why.
  // LoadFromFile returns false when the file cannot be read as a memory file (a folder, a FIFO
  // or a device is refused without waiting on it; the memory is unchanged) and reports refused
  // packed data as ReadPackedData does.
  bool SaveToFile(const char* fileName, bool keepAll);
  bool LoadFromFile(const char* fileName);

  // Removes every base learned three times or less, and every base above the deepest level
  // left without children.
  void Prune();

  // Sets the learning options; they stay until set again (Create keeps them). A budget below 0
  // or establishedAfter below 1 is refused (StsOutOfRange).
  void SetLearningOptions(const LearningOptions& options);
  LearningOptions GetLearningOptions() const;

  // Sets the options of searching and tracking; they stay until set again (Create keeps them).
  // Refused (StsOutOfRange), the options in force kept: a size that is not a finite number, a
  // sweep that starts at or below 0, a step at or below 0, a sweep of more than 64 sizes (one
  // without sweepTo counted up to 16 times the area, or 16 times sweepFrom when that is more), and
  // a follow range that is reversed or not above 0 (equal limits follow at one fixed size).
  void SetTrackingOptions(const TrackingOptions& options);
  TrackingOptions GetTrackingOptions() const;

  // Visits every node below the root, depth first, children in order.
  bool VisitNodes(NodeAMFunc func, void* user);

  // The box of an object that was taught with a box of `taught` size, for a rectangle `found`
  // that the memory reported (RCG_AM_MATCH, RCG_AM_OBJECT, RCG_AM_TRACK): `taught` scaled by the
  // size at which the object was found, around the centre of `found`. Found rectangles are the
  // innermost window of a full walk, smaller than the area (187 pixels for an area of 220 with
  // 3 levels): at the memory's own area size a found rectangle gives back `taught` itself. A box
  // whose corners would lie beyond int is refused (StsOutOfRange).
  cv::Rect FittedBox(const cv::Rect& found, cv::Size taught) const;

  int GetNodeCount() const;
  int16_t GetMaxDepth() const;
  uint64_t GetLastNodeId() const;
  uint64_t GetAccessCount() const;
  cv::Size GetSize() const;

 private:
  friend struct CvAssociativeMemoryAccess;
  std::unique_ptr<CvAssociativeMemoryState> state;
};

#endif  // VIZMORO_ASSOCIATIVE_MEMORY_HPP
