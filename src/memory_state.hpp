// Private state of CvAssociativeMemory: geometry, per-level tables, the node tree and the
// records of search and tracking.
#ifndef VIZMORO_MEMORY_STATE_HPP
#define VIZMORO_MEMORY_STATE_HPP

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "vizmoro/associative_memory.hpp"

#include "child_table.hpp"

namespace vizmoro::detail {

class ConDensation;
struct AssocNode;

// Scratch of the walks of one thread: the probe and its four offset windows, and the bounds of
// a node's children. It does not belong to the memory's state: every thread that walks the tree
// has its own.
struct WalkScratch {
  std::vector<int16_t> probe;
  std::vector<int16_t> windows;
  std::vector<uint16_t> bounds;  // per column of a child table
};

// The lattice of a memory, fixed at Create: the interest area it is made for, its grid and the
// window span of each level.
struct Lattice {
  int32_t width = 0, height = 0;  // interest area in pixels
  int32_t gridWidth = 0, gridHeight = 0;
  int32_t spanWidth = 0, spanHeight = 0;
  std::vector<cv::Point> levelSpans;  // window size of each level in grid units
  int16_t levels = 0;
  int16_t maxLevels = 0;
};

// The lattice in pixels at the interest-area size being read or written (set by setAreaSize),
// and the scan of the search at that size.
struct AreaGeometry {
  // Entry j: size of window j; x and y hold the inset of window j + 1 inside it.
  std::vector<cv::Rect> levelWindows;
  float scaleX = 0, scaleY = 0;  // pixels per grid unit
  int32_t patternX = 0, patternY = 0, patternWidth = 0, patternHeight = 0;
  cv::Rect scanRect;  // window of a new node's own descriptor, relative to the area
  int32_t searchStepX = 0, searchStepY = 0, searchRadius2 = 0;
};

// What every node of one memory shares: the lattice, the geometry of the current size, the
// caller's thread's scratch and the tree's counters.
struct AssocContext {
  const cv::Mat* maskRef = nullptr;  // the state's current mask (empty: none)
  Lattice lattice;
  AreaGeometry geometry;
  std::vector<int16_t> cellBuffer;  // descriptor scratch, large enough for the deepest level
  WalkScratch scratch;              // the walks made on the caller's thread
  int32_t nodeCount = 0;
  int16_t maxDepth = 0;
  int32_t memorySize = 0;  // value bytes allocated since Create; never lowered
  uint64_t lastNodeId = 0;
  uint64_t accessCount = 0;
  // Grows whenever a node is deleted anywhere in the tree: child tables built for an older
  // version are stale. Making a node makes only its parent's table stale.
  uint64_t treeVersion = 0;
};

// Fixed-point similarity to 0..1.
constexpr double kSimilarityScale = 1.0 / 2147483647;

// One recall walk, as made without touching the tree, and what it leaves to be applied.
struct WalkResult {
  static constexpr int kMaxSteps = 16;  // more than the deepest lattice allows
  cv::Rect found;
  int32_t similarity = 0;  // fixed point; that of the last level that compared, else 0
  bool matched = true;
  AssocNode* end = nullptr;  // the node where the walk ended
  int steps = 0;
  AssocNode* path[kMaxSteps];  // the nodes descended into, each gaining a hit
  int scans = 0;
  AssocNode* scanned[kMaxSteps];  // the nodes whose children were compared
  int lastNull[kMaxSteps];        // the last empty slot each scan met, or -1
};

// The 28-byte node header, stored and restored as one record.
struct AssocHeader {
  uint64_t id = 0;
  uint64_t hits = 0;
  uint64_t threshold = 0;
  int32_t data = 0;
};

// An associative base. The root (level 0) has no values.
struct AssocNode {
  explicit AssocNode(AssocContext* context);
  ~AssocNode();
  AssocNode(const AssocNode&) = delete;
  AssocNode& operator=(const AssocNode&) = delete;

  // Probes `window` for this node's children, picks the closest child at four half-cell
  // offsets and moves the window; true when that child lies inside its threshold. Remembers an
  // empty slot it met in freeSlot.
  bool FindBestChild(const cv::Mat& integral, cv::Rect& window, AssocNode*& best,
                     int32_t* similarity);
  // Makes a child one level down: from the image over `area`, or restored from stored values
  // and header (then integral and area are not used). From the image, an area that the mask
  // hides wholly gives no child: the result is null.
  AssocNode* InsertChild(const cv::Mat& integral, cv::Rect area, const int16_t* sourceValues,
                         const AssocHeader* sourceHeader);
  // The learning walk from this node down to the deepest level.
  void WriteNode(const cv::Mat& integral, cv::Rect area, cv::Rect& window, int32_t data);
  // The recall walk from this node over `window`, whose size gives the level windows (as
  // AreaGeometry::levelWindows holds them for it), without changing anything: several threads
  // may walk at once, at several sizes. ApplyWalk makes its changes afterwards.
  void Walk(const cv::Mat& integral, cv::Rect window, bool forceDescent,
            const std::vector<cv::Rect>& levelWindows, WalkScratch& scratch,
            WalkResult& result) const;
  // Removes weak subtrees below this node.
  void Prune();

  AssocHeader header;
  AssocContext* context;
  int32_t cols = 0, rows = 0;
  std::unique_ptr<int16_t[]> values;
  std::vector<std::unique_ptr<AssocNode>> children;  // a null entry is an empty slot
  int freeSlot = -1;  // an empty slot noticed by a scan; the next insertion fills it
  int16_t level = 0;
  // Every value is empty: a base that older memories may hold, which never wins a comparison.
  bool blank = false;

 private:
  struct Choice {
    AssocNode* best = nullptr;
    uint64_t distance = ~uint64_t{0};
    int offset = 0;
    int lastNull = -1;
  };
  // The probe of the children over `window` (this level's window size), seen at four offsets.
  void Probe(const cv::Mat& integral, const cv::Rect& window, WalkScratch& scratch) const;
  // The closest comparable child of the probe in `scratch`.
  Choice Choose(WalkScratch& scratch) const;
  // The table of the children, current for the tree's version; null for few children.
  const ChildTable* Table() const;

  mutable std::unique_ptr<ChildTable> table_;
  // The tree version table_ was built for; kStaleTable before the first build and after an
  // insertion.
  static constexpr uint64_t kStaleTable = ~uint64_t{0};
  mutable std::atomic<uint64_t> tableVersion_{kStaleTable};
};

// Gives the nodes of a walk their hits and remembers the empty slots it met.
void ApplyWalk(const WalkResult& walk);

// Sizes a thread's scratch for the lattice of a memory, at least.
void FitScratch(const AssocContext& context, WalkScratch& scratch);

// Threshold of a new node from the mean distance of its descriptor to the descriptors of
// half-cell shifted windows, and its number of empty cells out of `cells`.
uint64_t estimateThreshold(uint64_t mean, int empty, int cells);

// A group of search matches of one object index.
struct FoundObject {
  int32_t sumCenterX, sumCenterY, sumWidth, sumHeight;
  double sumSimilarity;
  int32_t count;
  uint32_t objectIndex;
  int32_t meanCenterX() const { return count ? sumCenterX / count : 0; }
  int32_t meanCenterY() const { return count ? sumCenterY / count : 0; }
  int32_t meanWidth() const { return count ? sumWidth / count : 0; }
  int32_t meanHeight() const { return count ? sumHeight / count : 0; }
  double meanSimilarity() const { return count ? sumSimilarity / count : 0.0; }
};

struct TrackedObject {
  TrackedObject();
  ~TrackedObject();
  TrackedObject(TrackedObject&&) noexcept;
  TrackedObject& operator=(TrackedObject&&) noexcept;

  bool active = false;
  int32_t centerX = 0, centerY = 0;
  float offsetX = 0, offsetY = 0;  // expected displacement, grid units
  int32_t boxWidth = 0, boxHeight = 0;
  double similarity = 0;
  uint32_t objectIndex = 0;
  uint64_t lastFrame = 0;
  int32_t updates = 0;
  int32_t streak = 0;  // confirmations in consecutive calls up to lastFrame, the start included
  std::unique_ptr<ConDensation> filter;
  std::unique_ptr<AMUserBlock> userData;
};

struct CvAssociativeMemoryState {
  CvAssociativeMemoryState();
  ~CvAssociativeMemoryState();

  std::vector<FoundObject> foundObjects;
  std::vector<TrackedObject> trackedObjects;
  cv::Vec2f lowerBound, upperBound;  // sample-set bounds of the trackers
  int32_t trackGate2 = 0;
  int32_t mergeDistance2 = 0;
  int32_t stepX = 0, stepY = 0;
  float stepX2 = 0, stepY2 = 0;
  uint64_t trackFrame = 0;
  std::unique_ptr<AssocNode> root;
  AssocContext context;
  int32_t imageWidth = 0, imageHeight = 0;
  cv::Mat image;     // the caller's source pixels (empty: not set)
  cv::Mat mask;      // the caller's mask pixels (empty: none)
  cv::Mat integral;  // CV_32SC1, (imageHeight + 1) x (imageWidth + 1)
  int32_t prunedNodeCount = 0;
  // A pruning that a Read's access count called for, left to the next call that walks or changes
  // the tree, so that the node a Read hands back outlives the Read.
  bool prunePending = false;
  LearningOptions learning;
  TrackingOptions tracking;
  // Above 0 while the memory runs code of its caller (callbacks, user-block destructors): calls
  // that would change what the running operation uses are refused meanwhile.
  int runningUserCode = 0;

  // Frees the tree, the tables, the integral image and the tracked objects.
  void release();
  // Re-scales the pixel geometry to an interest area of another size.
  void setAreaSize(int width, int height);
  // Counts one read or write and prunes at every Tuning::kPruneEvery-th access; true when it
  // pruned. With `deferPruning` the pruning is only marked pending.
  bool countAccess(bool deferPruning = false);
  // Runs a pending pruning: the first thing every call that walks or changes the tree does.
  void settlePruning();
  // Removes the weakest bases when the memory holds more than the budget.
  void keepWithinBudget();
  // Whether `area` is a non-empty rectangle wholly inside the current image.
  bool holds(cv::Rect area) const {
    return area.x >= 0 && area.y >= 0 && area.width > 0 && area.height > 0 &&
           int64_t{area.x} + area.width <= imageWidth &&
           int64_t{area.y} + area.height <= imageHeight;
  }
  // Write and Read with their checks; the search and tracking read and write through these.
  void write(cv::Rect area, const int32_t* apData);
  // `index` receives the object index read, taken before the access count may prune the node
  // that holds it. With `deferPruning` (the caller's Read) the node outlives the call.
  bool read(cv::Rect area, cv::Rect& foundRect, int32_t** dataRef, uint64_t* baseIndex,
            uint64_t* hitCounter, double* similarity, bool forceDescent, int32_t* index = nullptr,
            bool deferPruning = false);
};

// Marks the memory as running its caller's code for the scope's life.
class UserCodeScope {
 public:
  explicit UserCodeScope(CvAssociativeMemoryState& state) : state_(state) {
    ++state_.runningUserCode;
  }
  ~UserCodeScope() { --state_.runningUserCode; }
  UserCodeScope(const UserCodeScope&) = delete;
  UserCodeScope& operator=(const UserCodeScope&) = delete;

 private:
  CvAssociativeMemoryState& state_;
};

// Test and engine-internal access to a memory's state.
struct CvAssociativeMemoryAccess {
  static CvAssociativeMemoryState& state(CvAssociativeMemory& memory) { return *memory.state; }
  static const CvAssociativeMemoryState& state(const CvAssociativeMemory& memory) {
    return *memory.state;
  }
};

}  // namespace vizmoro::detail

#endif  // VIZMORO_MEMORY_STATE_HPP
