#include "search.hpp"

#include <algorithm>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "errors.hpp"
#include "tuning.hpp"

namespace vizmoro::detail {

namespace {

// Sets the geometry of each window size in turn, growing, and hands `visit` that size's windows,
// rows outer, columns inner.
template <typename Visit>
void ForEachSize(CvAssociativeMemoryState& s, Visit&& visit) {
  if (!s.root) {
    // No geometry to search with: the first window's read would refuse.
    if (s.imageWidth > 0 && s.imageHeight > 0)
      AM_REPORT(cv::Error::StsNullPtr, "Read", am_messages::kNotCreated);
    return;
  }
  const Lattice& l = s.context.lattice;
  AreaGeometry& g = s.context.geometry;
  const int levelsMax = l.maxLevels;
  // Cells of the coarsest lattice along each side of a window.
  const int cellsX = l.gridWidth >> levelsMax, cellsY = l.gridHeight >> levelsMax;
  std::vector<cv::Rect> windows;
  const TrackingOptions& o = s.tracking;
  const bool plain =
      o.sweepFrom == Tuning::kFirstScale && o.sweepStep == Tuning::kScaleStep && o.sweepTo == 0;
  for (int k = 0;; ++k) {
    const double factor =
        plain ? Tuning::kFirstScale + Tuning::kScaleStep * k : o.sweepFrom + o.sweepStep * k;
    if (!plain && o.sweepTo > 0 && factor > o.sweepTo + 1e-9) break;
    const double fw = l.width * factor, fh = l.height * factor;
    if (fw < 1 || fh < 1) continue;
    // Compared before the sizes are made integers: a size beyond int is past every image.
    if (fw >= s.imageWidth + 1.0 || fh >= s.imageHeight + 1.0) break;
    const int w = static_cast<int>(fw), h = static_cast<int>(fh);
    s.setAreaSize(w, h);
    // A step of at least one pixel, so that no geometry can stall the scan.
    g.searchStepX = std::max(((2 * (w / cellsX)) >> (levelsMax - 3)) - 1, 1);
    g.searchStepY = std::max(((2 * (h / cellsY)) >> (levelsMax - 3)) - 1, 1);
    g.searchRadius2 = 4 * (g.searchStepX * g.searchStepX + g.searchStepY * g.searchStepY);
    windows.clear();
    for (int y = 0; y < s.imageHeight - h; y += g.searchStepY)
      for (int x = 0; x < s.imageWidth - w; x += g.searchStepX) windows.emplace_back(x, y, w, h);
    visit(windows);
  }
}

// What a window's read leaves, in window order: the walk's hits and empty slots, the access
// count (which may prune), the report and the grouping of a match within `radius2` (squared
// pixels) of a group's centre.
void Collect(SearchContext& search, const WalkResult& walk, int32_t radius2) {
  CvAssociativeMemoryState& s = *search.state;
  RcgAMResult result{};
  result.bases = static_cast<uint32_t>(s.context.nodeCount);
  ApplyWalk(walk);
  result.rect = walk.found;
  result.similarity = walk.similarity * kSimilarityScale;
  // The index is taken before the access count, whose pruning may delete the node holding it.
  int32_t index = walk.end->header.data;
  const bool pruned = s.countAccess();
  uint32_t* objectIndex = reinterpret_cast<uint32_t*>(pruned ? &index : &walk.end->header.data);
  if (!walk.matched) {
    (*search.callback)(RCG_AM_NO_MATCH, objectIndex, &result);
    return;
  }
  (*search.callback)(RCG_AM_MATCH, objectIndex, &result);

  const cv::Rect& found = result.rect;
  const int cx = found.x + (found.width >> 1), cy = found.y + (found.height >> 1);
  const uint32_t i = static_cast<uint32_t>(index);
  for (FoundObject& group : s.foundObjects) {
    if (group.objectIndex != i) continue;
    const int64_t dx = cx - group.meanCenterX(), dy = cy - group.meanCenterY();
    if (dx * dx + dy * dy < radius2) {
      group.sumCenterX += cx;
      group.sumCenterY += cy;
      group.sumWidth += found.width;
      group.sumHeight += found.height;
      group.sumSimilarity += result.similarity;
      ++group.count;
      return;
    }
  }
  s.foundObjects.push_back(FoundObject{cx, cy, found.width, found.height, result.similarity, 1, i});
}

void RefuseWithoutImage(const CvAssociativeMemoryState& s) {
  if (s.image.empty()) AM_REPORT(cv::Error::StsNullPtr, "Read", am_messages::kNoImage);
}

}  // namespace

void PositionSearch(CvAssociativeMemoryState& s, PositionVisitor visitor, void* context) {
  ForEachSize(s, [&](const std::vector<cv::Rect>& windows) {
    for (const cv::Rect& window : windows) visitor(window, context);
  });
}

void CollectFound(cv::Rect window, void* context) {
  SearchContext& search = *static_cast<SearchContext*>(context);
  CvAssociativeMemoryState& s = *search.state;
  RefuseWithoutImage(s);
  if (window.size() != s.context.geometry.levelWindows[0].size())
    s.setAreaSize(window.width, window.height);
  WalkResult walk;
  s.root->Walk(s.integral, window, false, s.context.geometry.levelWindows, s.context.scratch, walk);
  Collect(search, walk, s.context.geometry.searchRadius2);
}

void SearchFoundObjects(CvAssociativeMemoryState& s, Callback& callback) {
  s.foundObjects.clear();
  SearchContext search{&s, &callback};
  // The windows of every size, and each size's level windows and grouping radius. The walks
  // take their size's level windows as a value, so that windows of every size are read in one
  // go; the context is left at the last size, as a window-by-window search leaves it.
  struct Size {
    std::vector<cv::Rect> levelWindows;
    int32_t radius2;
  };
  std::vector<Size> sizes;
  std::vector<std::pair<cv::Rect, int>> windows;  // and the index of its size
  ForEachSize(s, [&](const std::vector<cv::Rect>& sized) {
    sizes.push_back(Size{s.context.geometry.levelWindows, s.context.geometry.searchRadius2});
    for (const cv::Rect& window : sized)
      windows.emplace_back(window, static_cast<int>(sizes.size() - 1));
  });
  if (windows.empty()) return;
  RefuseWithoutImage(s);
  // The windows are read in parallel from the tree as it is, then their effects are applied one
  // window after the other, in order. Only the pruning at every kPruneEvery-th access changes what
  // later windows read: a batch ends at the window that reaches such a count. Batches are small
  // enough for their walks to stay in the cache until they are applied.
  constexpr size_t kBatch = 2048;
  std::vector<WalkResult> walks(std::min(windows.size(), kBatch));
  for (size_t next = 0; next < windows.size();) {
    const uint64_t untilPruning = Tuning::kPruneEvery - s.context.accessCount % Tuning::kPruneEvery;
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>({windows.size() - next, untilPruning, kBatch}));
    cv::parallel_for_(
        cv::Range(0, static_cast<int>(count)),
        [&](const cv::Range& range) {
          thread_local WalkScratch scratch;  // each thread's own
          FitScratch(s.context, scratch);
          for (int i = range.start; i < range.end; ++i) {
            const auto& [window, size] = windows[next + i];
            s.root->Walk(s.integral, window, false, sizes[size].levelWindows, scratch, walks[i]);
          }
        },
        std::max(1.0, count / 64.0));  // stripes of many windows
    for (size_t i = 0; i < count; ++i)
      Collect(search, walks[i], sizes[windows[next + i].second].radius2);
    next += count;
  }
}

}  // namespace vizmoro::detail

using namespace vizmoro;
using namespace vizmoro::detail;

void CvAssociativeMemory::ObjectRecognition(RcgAMFunc func, void* userData) {
  if (!func) AM_REPORT(cv::Error::StsNullPtr, "ObjectRecognition", am_messages::kNullCallback);
  CvAssociativeMemoryState& s = *state;
  AM_REFUSE_INSIDE_CALLBACK(s, "ObjectRecognition");
  s.settlePruning();
  UserCodeScope callingBack(s);
  Callback callback(func, userData);
  callback(RCG_AM_BEGIN, nullptr, nullptr);
  SearchFoundObjects(s, callback);
  RcgAMResult result{};
  result.bases = static_cast<uint32_t>(s.context.nodeCount);
  for (FoundObject& group : s.foundObjects) {
    const int w = group.meanWidth(), h = group.meanHeight();
    result.rect = cv::Rect(group.meanCenterX() - (w >> 1), group.meanCenterY() - (h >> 1), w, h);
    result.similarity = group.meanSimilarity();
    callback(RCG_AM_OBJECT, &group.objectIndex, &result);
  }
  callback(RCG_AM_END, nullptr, nullptr);
  callback.RethrowFailure();
}
