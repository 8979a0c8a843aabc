#include "search.hpp"

#include <algorithm>

#include "errors.hpp"

void PositionSearch(CvAssociativeMemoryState& s, PositionVisitor visitor, void* context) {
  if (!s.root) {
    // No geometry to search with: the first window's read would refuse.
    if (s.imageWidth > 0 && s.imageHeight > 0)
      AM_REPORT(cv::Error::StsNullPtr, "Read", am_messages::kNotCreated);
    return;
  }
  AssocContext& c = s.context;
  const int levelsMax = c.maxLevels;
  // Cells of the coarsest lattice along each side of a window.
  const int cellsX = c.gridWidth >> levelsMax, cellsY = c.gridHeight >> levelsMax;
  for (int k = 0;; ++k) {
    const double factor = 0.75f + 0.25f * k;
    const int w = static_cast<int>(c.width * factor), h = static_cast<int>(c.height * factor);
    if (w > s.imageWidth || h > s.imageHeight) break;
    s.setAreaSize(w, h);
    // A step of at least one pixel, so that no geometry can stall the scan.
    c.searchStepX = std::max(((2 * (w / cellsX)) >> (levelsMax - 3)) - 1, 1);
    c.searchStepY = std::max(((2 * (h / cellsY)) >> (levelsMax - 3)) - 1, 1);
    c.searchRadius2 = 4 * (c.searchStepX * c.searchStepX + c.searchStepY * c.searchStepY);
    for (int y = 0; y < s.imageHeight - h; y += c.searchStepY)
      for (int x = 0; x < s.imageWidth - w; x += c.searchStepX)
        visitor(cv::Rect(x, y, w, h), context);
  }
}

void CollectFound(cv::Rect window, void* context) {
  SearchContext& search = *static_cast<SearchContext*>(context);
  CvAssociativeMemoryState& s = *search.state;
  RcgAMResult result{};
  result.bases = static_cast<uint32_t>(s.context.nodeCount);
  int32_t* dataRef = nullptr;
  const bool matched =
      s.read(window, result.rect, &dataRef, nullptr, nullptr, &result.similarity, false);
  uint32_t* objectIndex = reinterpret_cast<uint32_t*>(dataRef);
  if (!matched) {
    (*search.callback)(RCG_AM_NO_MATCH, objectIndex, &result);
    return;
  }
  (*search.callback)(RCG_AM_MATCH, objectIndex, &result);

  const cv::Rect& found = result.rect;
  const int cx = found.x + (found.width >> 1), cy = found.y + (found.height >> 1);
  const uint32_t index = static_cast<uint32_t>(*dataRef);
  for (FoundObject& group : s.foundObjects) {
    if (group.objectIndex != index) continue;
    const int64_t dx = cx - group.meanCenterX(), dy = cy - group.meanCenterY();
    if (dx * dx + dy * dy < s.context.searchRadius2) {
      group.sumCenterX += cx;
      group.sumCenterY += cy;
      group.sumWidth += found.width;
      group.sumHeight += found.height;
      group.sumSimilarity += result.similarity;
      ++group.count;
      return;
    }
  }
  s.foundObjects.push_back(
      FoundObject{cx, cy, found.width, found.height, result.similarity, 1, index});
}

void SearchFoundObjects(CvAssociativeMemoryState& s, Callback& callback) {
  s.foundObjects.clear();
  SearchContext search{&s, &callback};
  PositionSearch(s, CollectFound, &search);
}

void CvAssociativeMemory::ObjectRecognition(RcgAMFunc func, void* userData) {
  if (!func) AM_REPORT(cv::Error::StsNullPtr, "ObjectRecognition", am_messages::kNullCallback);
  CvAssociativeMemoryState& s = *state;
  AM_REFUSE_INSIDE_CALLBACK(s, "ObjectRecognition");
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
