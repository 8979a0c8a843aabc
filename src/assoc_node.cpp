// The tree of associative bases: child matching, insertion, the learning and recall walks and
// pruning.
#include <algorithm>
#include <cstring>
#include <limits>

#include "descriptor.hpp"
#include "geometry.hpp"
#include "memory_state.hpp"

namespace {

constexpr uint64_t kMaxHits = std::numeric_limits<uint64_t>::max();

// Similarity in fixed point, 2147483647 for 1.0: above 1073741823 inside the threshold.
int32_t fixedSimilarity(uint64_t distance, uint64_t threshold) {
  using u128 = unsigned __int128;
  if (distance < threshold)
    return static_cast<int32_t>(2147483647 -
                                static_cast<uint64_t>(u128{distance} * 1073741823 / threshold));
  if (distance == 0) return 1073741823;  // 0 / 0: the limit at distance == threshold
  return static_cast<int32_t>(static_cast<uint64_t>(u128{threshold} * 1073741823 / distance));
}

// Distance of a child's values to the probe at one offset; gives up once it reaches `limit`.
uint64_t offsetDistance(const int16_t* values, int cols, int rows, const int16_t* probe, int shiftX,
                        int shiftY, uint64_t limit) {
  uint64_t sum = 0;
  for (int j = 0; j < rows; ++j) {
    const int16_t* v = values + j * cols;
    const int16_t* p = probe + (j + shiftY) * (cols + 1) + shiftX;
    uint32_t rowSum = 0;  // at most 65535 x cols
    for (int i = 0; i < cols; ++i)
      if (v[i] != AM_EMPTY_CELL) rowSum += static_cast<uint32_t>(std::abs(v[i] - p[i]));
    sum += rowSum;
    if (sum >= limit) break;
  }
  return sum;
}

}  // namespace

uint64_t estimateThreshold(uint64_t mean, int empty, int cells) {
  if (empty == 0) return static_cast<uint64_t>(static_cast<double>(mean) * 1.105);
  // Empty cells count with their full value in the mean: scale down as their share grows.
  const double share = static_cast<double>(empty) / cells;
  if (share >= 0.85) return 1;
  const double k = 1.0 + 5.6 * share;
  return static_cast<uint64_t>(static_cast<double>(mean) * (1.0 / (k * k)));
}

AssocNode::AssocNode(AssocContext* context) : context(context) {
  ++context->nodeCount;
}

AssocNode::~AssocNode() {
  children.clear();  // depth first, in slot order
  --context->nodeCount;
}

bool AssocNode::FindBestChild(const cv::Mat& integral, cv::Rect& window, AssocNode*& best,
                              int32_t* similarity) {
  AssocContext& c = *context;
  const cv::Rect& levelWindow = c.levelWindows[level];
  const int probeCols = levelCols(c, level + 1) + 1;
  const int probeRows = levelRows(c, level + 1) + 1;
  window.width = levelWindow.width;
  window.height = levelWindow.height;
  int16_t* probe = c.cellBuffer.data();
  CalcDescriptor(integral, window.x, window.y, window.width, window.height, probeCols, probeRows,
                 probe, cv::Mat());
  window.x += levelWindow.x >> 1;
  window.y += levelWindow.y >> 1;

  best = nullptr;
  uint64_t bestDistance = std::numeric_limits<uint64_t>::max();
  int bestOffset = 0;
  for (size_t slot = 0; slot < children.size(); ++slot) {
    AssocNode* child = children[slot].get();
    if (!child) {
      freeSlot = static_cast<int>(slot);
      continue;
    }
    uint64_t childDistance = std::numeric_limits<uint64_t>::max();
    int childOffset = 0;
    for (int k = 0; k < 4; ++k) {
      const uint64_t limit = std::min(childDistance, bestDistance);
      const uint64_t d = offsetDistance(child->values.get(), child->cols, child->rows, probe, k & 1,
                                        (k >> 1) & 1, limit);
      if (d < childDistance) {
        childDistance = d;
        childOffset = k;
      }
    }
    if (childDistance < bestDistance) {
      best = child;
      bestDistance = childDistance;
      bestOffset = childOffset;
    }
  }

  if (similarity && best) *similarity = fixedSimilarity(bestDistance, best->header.threshold);
  if (!best || bestDistance >= best->header.threshold) return false;
  if (bestOffset & 1) window.x += levelWindow.x;
  if (bestOffset & 2) window.y += levelWindow.y;
  return true;
}

AssocNode* AssocNode::InsertChild(const cv::Mat& integral, cv::Rect area,
                                  const int16_t* sourceValues, const AssocHeader* sourceHeader) {
  AssocContext& c = *context;
  auto node = std::make_unique<AssocNode>(context);
  node->level = static_cast<int16_t>(level + 1);
  node->cols = levelCols(c, node->level);
  node->rows = levelRows(c, node->level);
  const int count = node->cols * node->rows;
  node->values = std::make_unique<int16_t[]>(count);
  c.memorySize = static_cast<int32_t>(
      std::min<int64_t>(int64_t{c.memorySize} + 2 * count, std::numeric_limits<int32_t>::max()));

  uint64_t threshold = 0;
  if (sourceValues) {
    std::copy_n(sourceValues, count, node->values.get());
  } else {
    const int empty = CalcDescriptor(integral, area.x, area.y, area.width, area.height, node->cols,
                                     node->rows, node->values.get(), *c.maskRef);
    // How much the descriptor changes when the area moves by half a cell: the mean distance
    // over the perimeter of shifted positions, the windows clipped at the image edges.
    const int imageWidth = integral.cols - 1, imageHeight = integral.rows - 1;
    const int dx = (c.levelWindows[0].width / (node->cols + 2)) >> 1;
    const int dy = (c.levelWindows[0].height / (node->rows + 2)) >> 1;
    const int xL = area.x >= dx ? area.x - dx : 0;
    const int wL = area.x >= dx ? area.width : area.width - dx;
    const int yT = area.y >= dy ? area.y - dy : 0;
    const int hT = area.y >= dy ? area.height : area.height - dy;
    const int xR = area.x + dx;
    const int wR = area.x + area.width + dx >= imageWidth ? area.width - dx : area.width;
    const int yB = area.y + dy;
    const int hB = area.y + area.height + dy >= imageHeight ? area.height - dy : area.height;

    int16_t* shifted = c.cellBuffer.data();
    uint64_t sum = 0, positions = 0;
    auto add = [&](int x, int y, int w, int h) {
      CalcDescriptor(integral, x, y, w, h, node->cols, node->rows, shifted, cv::Mat());
      sum += DescriptorDistance(node->cols, node->rows, shifted, node->values.get());
      ++positions;
    };
    for (int x = xL; x <= xR; ++x) add(x, yT, wR, hT);
    for (int y = yT; y <= yB; ++y) add(xR, y, wR, hB);
    for (int x = xL; x <= xR; ++x) add(x, yB, wR, hB);
    for (int y = yT; y <= yB; ++y) add(xL, y, wL, hB);
    threshold = estimateThreshold(sum / positions, empty, count);
  }

  if (sourceHeader) {
    node->header = *sourceHeader;
  } else {
    node->header = AssocHeader();
    node->header.id = ++c.lastNodeId;
    node->header.threshold = threshold;
  }
  c.maxDepth = std::max(c.maxDepth, node->level);

  AssocNode* result = node.get();
  if (freeSlot >= 0) {
    children[freeSlot] = std::move(node);
    freeSlot = -1;
  } else {
    children.push_back(std::move(node));
  }
  return result;
}

void AssocNode::WriteNode(const cv::Mat& integral, cv::Rect area, cv::Rect& window, int32_t data) {
  const AssocContext& c = *context;
  const cv::Rect childArea(area.x + c.scanRect.x, area.y + c.scanRect.y, c.scanRect.width,
                           c.scanRect.height);
  for (AssocNode* node = this; node->level < c.levels;) {
    AssocNode* next = nullptr;
    if (node->children.empty() || !node->FindBestChild(integral, window, next, nullptr))
      next = node->InsertChild(integral, childArea, nullptr, nullptr);
    if (next->header.hits < kMaxHits) ++next->header.hits;
    next->header.data = data;
    node = next;
  }
}

void AssocNode::ReadNode(const cv::Mat& integral, cv::Rect& window, int32_t** dataRef,
                         uint64_t* baseIndex, uint64_t* hitCounter, int32_t* similarity,
                         bool forceDescent) {
  const AssocContext& c = *context;
  for (AssocNode* node = this;;) {
    if (baseIndex) *baseIndex = node->header.id;
    if (hitCounter) *hitCounter = node->header.hits;
    if (dataRef) *dataRef = &node->header.data;
    if (node->level >= c.levels || node->children.empty()) return;
    AssocNode* best = nullptr;
    if (!node->FindBestChild(integral, window, best, similarity)) context->matched = false;
    if (!best || (!context->matched && !forceDescent)) return;
    if (best->header.hits < kMaxHits) ++best->header.hits;
    node = best;
  }
}

void AssocNode::Prune() {
  for (auto& slot : children) {
    if (!slot) continue;
    if (slot->header.hits <= 3) {
      slot.reset();
      continue;
    }
    slot->Prune();
    const bool hasChild = std::any_of(slot->children.begin(), slot->children.end(),
                                      [](const auto& child) { return child != nullptr; });
    if (!hasChild && slot->level < context->levels) slot.reset();
  }
}
