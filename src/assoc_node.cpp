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

// The probe seen at the four half-cell offsets, each laid out like a child's values.
void gatherOffsets(const int16_t* probe, int cols, int rows, int16_t* windows) {
  const int n = cols * rows;
  for (int k = 0; k < 4; ++k) {
    const int shiftX = k & 1, shiftY = (k >> 1) & 1;
    int16_t* out = windows + k * n;
    for (int j = 0; j < rows; ++j)
      std::copy_n(probe + (j + shiftY) * (cols + 1) + shiftX, cols, out + j * cols);
  }
}

// Distances of n values to the four offset windows, skipping the values' empty cells. All four
// are summed in one pass; the sums stay in 32 bits for blocks of up to 65536 values.
void offsetDistances(const int16_t* values, const int16_t* windows, int n, uint64_t d[4]) {
  d[0] = d[1] = d[2] = d[3] = 0;
  for (int start = 0; start < n; start += 65536) {
    const int end = std::min(n, start + 65536);
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int i = start; i < end; ++i) {
      const int v = values[i];
      const uint32_t keep = v != AM_EMPTY_CELL ? ~0u : 0u;
      s0 += static_cast<uint32_t>(std::abs(v - windows[i])) & keep;
      s1 += static_cast<uint32_t>(std::abs(v - windows[n + i])) & keep;
      s2 += static_cast<uint32_t>(std::abs(v - windows[2 * n + i])) & keep;
      s3 += static_cast<uint32_t>(std::abs(v - windows[3 * n + i])) & keep;
    }
    d[0] += s0;
    d[1] += s1;
    d[2] += s2;
    d[3] += s3;
  }
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

  const int childCols = probeCols - 1, childRows = probeRows - 1;
  const int n = childCols * childRows;
  int16_t* windows = c.offsetWindows.data();
  gatherOffsets(probe, childCols, childRows, windows);

  best = nullptr;
  uint64_t bestDistance = std::numeric_limits<uint64_t>::max();
  int bestOffset = 0;
  for (size_t slot = 0; slot < children.size(); ++slot) {
    AssocNode* child = children[slot].get();
    if (!child) {
      freeSlot = static_cast<int>(slot);
      continue;
    }
    if (child->blank) continue;  // matches anything, so it tells nothing
    uint64_t d[4];
    offsetDistances(child->values.get(), windows, n, d);
    int offset = 0;  // the lowest code among equal distances
    for (int k = 1; k < 4; ++k)
      if (d[k] < d[offset]) offset = k;
    if (d[offset] < bestDistance) {
      best = child;
      bestDistance = d[offset];
      bestOffset = offset;
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
  const int16_t childLevel = static_cast<int16_t>(level + 1);
  const int cols = levelCols(c, childLevel), rows = levelRows(c, childLevel);
  const int count = cols * rows;
  auto values = std::make_unique<int16_t[]>(count);

  uint64_t threshold = 0;
  if (sourceValues) {
    std::copy_n(sourceValues, count, values.get());
  } else {
    const int empty = CalcDescriptor(integral, area.x, area.y, area.width, area.height, cols, rows,
                                     values.get(), *c.maskRef);
    // A base without a single comparable value would lie at distance 0 from every probe.
    if (empty == count) return nullptr;
    // How much the descriptor changes when the area moves by half a cell: the mean distance
    // over the perimeter of shifted positions, the windows clipped at the image edges.
    const int imageWidth = integral.cols - 1, imageHeight = integral.rows - 1;
    const int dx = (c.levelWindows[0].width / (cols + 2)) >> 1;
    const int dy = (c.levelWindows[0].height / (rows + 2)) >> 1;
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
      CalcDescriptor(integral, x, y, w, h, cols, rows, shifted, cv::Mat());
      sum += DescriptorDistance(cols, rows, shifted, values.get());
      ++positions;
    };
    for (int x = xL; x <= xR; ++x) add(x, yT, wR, hT);
    for (int y = yT; y <= yB; ++y) add(xR, y, wR, hB);
    for (int x = xL; x <= xR; ++x) add(x, yB, wR, hB);
    for (int y = yT; y <= yB; ++y) add(xL, y, wL, hB);
    threshold = estimateThreshold(sum / positions, empty, count);
  }

  auto node = std::make_unique<AssocNode>(context);
  node->level = childLevel;
  node->cols = cols;
  node->rows = rows;
  node->values = std::move(values);
  node->blank = std::all_of(node->values.get(), node->values.get() + count,
                            [](int16_t v) { return v == AM_EMPTY_CELL; });
  c.memorySize = static_cast<int32_t>(
      std::min<int64_t>(int64_t{c.memorySize} + 2 * count, std::numeric_limits<int32_t>::max()));
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
    if (node->children.empty() || !node->FindBestChild(integral, window, next, nullptr)) {
      next = node->InsertChild(integral, childArea, nullptr, nullptr);
      if (!next) return;  // the mask hides the whole area at this level
    }
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
