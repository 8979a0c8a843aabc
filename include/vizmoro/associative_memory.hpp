// Vizmoro: an associative memory of image patches that learns objects from video and finds and
// tracks them again.
//
// The memory describes a rectangle of an 8-bit grey image (the interest area) at successively
// finer levels by small grids of 16-bit cell-contrast values, and keeps what it learned as a tree
// of such descriptors. Write() teaches it that an area shows an object index, Read() asks what an
// area shows, ObjectRecognition() and ObjectTracking() search a whole image and report through a
// callback, and SaveToFile()/LoadFromFile() keep the memory between runs.
//
// Errors. A refused call is reported through cv::error, which throws cv::Exception carrying the
// status code, the operation ("CvAssociativeMemory::Read", ...) and the message. Every
// precondition is checked before anything changes, so a refused call leaves the memory as it was.
// Memory the system cannot give is std::bad_alloc (SaveToFile's buffer aside). Only the two file
// calls answer with a result: SaveToFile and LoadFromFile return false where the file cannot be
// written or read (errno says why) and throw like any other call where the memory itself refuses.
//
// One memory object is used by one thread at a time.
//
// Every name is in namespace vizmoro. The names the memory has always had (CvAssociativeMemory,
// RcgAMResult, RCG_AM_BEGIN, ...) are also declared in the global namespace for existing callers;
// defining VIZMORO_NO_GLOBAL_NAMES before including this header leaves them out.
#ifndef VIZMORO_ASSOCIATIVE_MEMORY_HPP
#define VIZMORO_ASSOCIATIVE_MEMORY_HPP

#include <cstdint>
#include <memory>

#include <opencv2/core.hpp>

namespace vizmoro {

namespace detail {
struct CvAssociativeMemoryState;
struct CvAssociativeMemoryAccess;
}  // namespace detail

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

// The thresholds of ObjectTracking that the demonstration program passes: 0.54 and 0.45 as
// single-precision constants, widened (0.5400000214576721 and 0.44999998807907104).
constexpr double kLearnThreshold = static_cast<double>(0.54f);
constexpr double kTrackThreshold = static_cast<double>(0.45f);

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
// into the memory and are valid only until the callback returns. userData is the caller's
// pointer, handed through untouched; the memory never owns it.
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
// Returning false stops the visit. `values` and `data` point into the node and are valid only
// until the visitor returns; a visitor may change *data (the stored object index), nothing else.
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

// The memory. Each call states what it requires and ensures: a requirement not met is refused
// with cv::Exception (the status in parentheses) and changes nothing. Every call that changes the
// memory is refused as well from inside its own callback (StsError; see RcgAMFunc).
class CvAssociativeMemory {
 public:
  // blockSize is kept for compatibility with callers of the storage-based interface; unused.
  //   ensures: a memory that is not created (GetNodeCount() == 0), with the plain options.
  //   requires: the environment variable VIZMORO_FORCE_ISA (for tests and benchmarks), where set,
  //     names scalar, avx2 or avx512, one that this processor runs (StsBadArg otherwise).
  explicit CvAssociativeMemory(int blockSize = 0);
  // Frees the tree and the tracked objects with their user blocks.
  //   requires: not called from the memory's own callback.
  ~CvAssociativeMemory();
  CvAssociativeMemory(const CvAssociativeMemory&) = delete;
  CvAssociativeMemory& operator=(const CvAssociativeMemory&) = delete;

  // Discards everything learned and makes an empty memory for an interest area of
  // width x height pixels with `levels` levels below the root.
  //   requires: width and height at most 4096 (StsOutOfRange otherwise).
  //   ensures: smaller sides are raised to 40; levels of 0 or less select the default, more than
  //     the area allows are capped.
  //   ensures: GetNodeCount() == 1 (the root), GetLastNodeId() == 1, GetAccessCount() == 0;
  //     tracked objects are dropped (their user blocks deleted); the options are kept; the
  //     source image must be set again.
  void Create(int width, int height, int16_t levels = 0);

  // Hands the memory the frame that the following calls work on.
  //   requires: image is a non-empty 2-D CV_8UC1 Mat; mask is empty or a 2-D CV_8UC1 Mat of
  //     the image's size (StsUnsupportedFormat, StsUnmatchedSizes or StsBackTrace otherwise).
  //   ensures: the memory keeps shallow copies of both: their pixels stay alive, shared with
  //     the caller, until the next SetImage, Create, ReadPackedData or LoadFromFile, or the
  //     memory's end. The mask's pixels are blurred in place (the caller's own, unless it
  //     passes a clone); the image's are never written.
  void SetImage(const cv::Mat& image, const cv::Mat& mask = cv::Mat());

  // Teaches the memory that `area` of the current image shows the object *apData.
  //   requires: area is non-empty and lies inside the current image (BadImageSize); the memory
  //     is created and an image is set; apData is not null (StsNullPtr).
  //   ensures: the walk from the root to the deepest level, made of the best-matching bases and
  //     new ones where none matches, stores *apData; GetAccessCount() grows by 1. apData is
  //     read during the call only.
  void Write(cv::Rect area, const int32_t* apData);

  // Recalls what `area` of the current image shows. foundRect receives the refined window;
  // the optional outputs (null: not wanted) describe the node where the walk ended (dataRef
  // points at its stored object index) and the similarity (0..1). With forceDescent the walk
  // goes on to the deepest level even after a level did not accept.
  //   requires: as Write (BadImageSize, StsNullPtr), apData aside.
  //   ensures: returns whether every level accepted; GetAccessCount() grows by 1.
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
  //   requires: func is not null (StsNullPtr); not called from the memory's own callback
  //     (StsError). A memory that is not created, or has no image, is refused by the search as
  //     Read refuses it, once the pass has begun.
  //   ensures: func gets RCG_AM_BEGIN, the events of the pass, then RCG_AM_END, on the calling
  //     thread, each with userData; nothing is learned.
  void ObjectRecognition(RcgAMFunc func, void* userData);

  // Searches the current image and keeps tracked objects across calls; with `learning`, found
  // objects recalled below learnThreshold are taught again, and unconfirmed tracked objects
  // are looked for around their predicted place and confirmed above trackThreshold. The
  // demonstration passes kLearnThreshold and kTrackThreshold.
  //   requires: as ObjectRecognition.
  //   ensures: func gets RCG_AM_BEGIN, the events of the pass, an RCG_AM_TRACK per live tracked
  //     object, then RCG_AM_END. A user block stored through RcgAMResult::userSlot belongs to
  //     the memory from then on (see AMUserBlock).
  void ObjectTracking(RcgAMFunc func, void* userData, bool learning, double learnThreshold,
                      double trackThreshold);

  // Packed data: a little-endian image of the whole memory.
  //
  // GetPackedSize: the bytes WritePackedData needs.
  //   requires: the packed data fits in an int (StsOutOfRange otherwise).
  int GetPackedSize() const;
  // WritePackedData fills the caller's buffer, which it does not keep.
  //   requires: buffer is not null and holds GetPackedSize() bytes; the memory is created
  //     (StsNullPtr otherwise).
  void WritePackedData(void* buffer) const;
  // ReadPackedData replaces the memory by the one packed in buffer[0, size), which it does not
  // keep.
  //   requires: buffer is not null (StsNullPtr); the data is well formed: header, node records
  //     and parents all within `size` bytes, dataSize 4, lengths that match the levels
  //     (StsUnmatchedSizes otherwise). Everything is checked before the memory changes.
  //   ensures: the memory is the packed one, as after Create with its geometry; tracked
  //     objects are dropped and the image must be set again.
  void ReadPackedData(const void* buffer, size_t size);

  // The memory file: a 7-byte magic ("AMv0.3" and its zero byte), the packed size and the
  // packed data.
  //
  // SaveToFile writes the memory to fileName, pruned first unless keepAll, replacing the file
  // atomically (see vizmoro/memory_file.hpp).
  //   requires: the memory is created; else cv::Exception (StsNullPtr, operation
  //     "CvAssociativeMemory::WritePackedData"), and nothing is pruned or written.
  //   requires: keepAll, when called from the memory's own callback (StsError otherwise).
  //   ensures: true: the file holds the memory, pruned unless keepAll.
  //   ensures: false: fileName is null (errno EINVAL) or the file could not be replaced (errno
  //     is the system's reason: EACCES, ENOSPC, EISDIR, ...); the previous file, if any, is as
  //     it was and no temporary file is left. The memory stays pruned.
  //   ensures: a buffer for the packed data that cannot be had throws cv::Exception
  //     (StsNullPtr, "The pointer of packed data is NULL"); nothing is written.
  bool SaveToFile(const char* fileName, bool keepAll);

  // LoadFromFile replaces the memory by the one in fileName ("AMv0.2" files are read alike).
  //   ensures: true: the memory is the saved one, as ReadPackedData rebuilds it.
  //   ensures: false, the memory unchanged: fileName is null (errno EINVAL); the file cannot be
  //     opened or read (errno is the system's reason; a folder is EISDIR, and a FIFO or a device
  //     EINVAL, refused without waiting on it); it is too large for the memory left (ENOMEM); or
  //     it is not a memory file, or is cut short (errno as it was: clear it first to tell this
  //     case from the others).
  //   ensures: packed data that ReadPackedData refuses throws as there, the memory unchanged.
  bool LoadFromFile(const char* fileName);

  // Removes every base learned three times or less, and every base above the deepest level
  // left without children. A memory that is not created is left as it is.
  //   requires: not called from the memory's own callback (StsError).
  //   ensures: removed bases leave empty slots; pointers into them (a Read's *dataRef) dangle.
  void Prune();

  // Sets the learning options; they stay until set again (Create keeps them).
  //   requires: budget >= 0 and establishedAfter >= 1 (StsOutOfRange otherwise, the options in
  //     force kept); not called from the memory's own callback (StsError).
  void SetLearningOptions(const LearningOptions& options);
  LearningOptions GetLearningOptions() const;

  // Sets the options of searching and tracking; they stay until set again (Create keeps them).
  //   requires (StsOutOfRange otherwise, the options in force kept): every size a finite
  //     number; a sweep that starts above 0 with a step above 0 and of at most 64 sizes (one
  //     without sweepTo counted up to 16 times the area, or 16 times sweepFrom when that is
  //     more); a follow range above 0 and in order (equal limits follow at one fixed size).
  //   requires: not called from the memory's own callback (StsError).
  void SetTrackingOptions(const TrackingOptions& options);
  TrackingOptions GetTrackingOptions() const;

  // Visits every node below the root, depth first, children in order.
  //   ensures: returns false when func is null or returned false, true otherwise (a memory
  //     that is not created has nothing to visit). func and user are used during the call only.
  bool VisitNodes(NodeAMFunc func, void* user);

  // The box of an object that was taught with a box of `taught` size, for a rectangle `found`
  // that the memory reported (RCG_AM_MATCH, RCG_AM_OBJECT, RCG_AM_TRACK): `taught` scaled by the
  // size at which the object was found, around the centre of `found`. Found rectangles are the
  // innermost window of a full walk, smaller than the area (187 pixels for an area of 220 with
  // 3 levels): at the memory's own area size a found rectangle gives back `taught` itself.
  //   requires: a box whose corners lie within int (StsOutOfRange otherwise).
  //   ensures: a memory that is not created gives back `found`.
  cv::Rect FittedBox(const cv::Rect& found, cv::Size taught) const;

  // The counters, read as they are; none is refused and none changes the memory. Bases include
  // the root; 0 for a memory that is not created.
  int GetNodeCount() const;
  int16_t GetMaxDepth() const;
  uint64_t GetLastNodeId() const;
  uint64_t GetAccessCount() const;
  cv::Size GetSize() const;

 private:
  friend struct detail::CvAssociativeMemoryAccess;
  std::unique_ptr<detail::CvAssociativeMemoryState> state;
};

}  // namespace vizmoro

#ifndef VIZMORO_NO_GLOBAL_NAMES
using vizmoro::AMUserBlock;
using vizmoro::CvAssociativeMemory;
using vizmoro::LearningOptions;
using vizmoro::NodeAMFunc;
using vizmoro::RCG_AM_BEGIN;
using vizmoro::RCG_AM_END;
using vizmoro::RCG_AM_MATCH;
using vizmoro::RCG_AM_NO_MATCH;
using vizmoro::RCG_AM_OBJECT;
using vizmoro::RCG_AM_RELEARN;
using vizmoro::RCG_AM_TRACK;
using vizmoro::RcgAMFunc;
using vizmoro::RcgAMResult;
using vizmoro::TrackingOptions;
#endif

#endif  // VIZMORO_ASSOCIATIVE_MEMORY_HPP
