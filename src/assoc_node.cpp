// The tree of associative bases: child matching, insertion, the learning and recall walks and
// pruning.
#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include "descriptor.hpp"
#include "geometry.hpp"
#include "kernels.hpp"
#include "memory_state.hpp"
#include "tuning.hpp"

namespace vizmoro::detail {

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
  ++context->treeVersion;
}

// Values the probe's offset windows are copied by at a time.
constexpr int kChunk = 8;

void FitScratch(const AssocContext& c, WalkScratch& scratch) {
  const size_t cols = static_cast<size_t>(levelCols(c, c.lattice.levels));
  const size_t rows = static_cast<size_t>(levelRows(c, c.lattice.levels));
  // Only ever grown: a thread's scratch serves every memory it walks.
  scratch.probe.resize(std::max(scratch.probe.size(), (cols + 1) * (rows + 1) + kChunk));
  scratch.windows.resize(std::max(scratch.windows.size(), 4 * cols * rows + kChunk));
}

// Below this many children the plain comparison is as quick as a table.
constexpr size_t kTableChildren = 8;

const ChildTable* AssocNode::Table() const {
  if (children.size() < kTableChildren ||
      levelCols(*context, level + 1) * levelRows(*context, level + 1) > kTableMaxValues)
    return nullptr;
  const uint64_t version = context->treeVersion;
  if (tableVersion_.load(std::memory_order_acquire) == version) return table_.get();
  // Threads that walk at once may meet a stale table together: one rebuilds it.
  static std::mutex building;
  std::lock_guard<std::mutex> lock(building);
  if (tableVersion_.load(std::memory_order_relaxed) == version) return table_.get();
  if (!table_) table_ = std::make_unique<ChildTable>();
  ChildTable& t = *table_;
  t.nodes.clear();
  t.lastNull = -1;
  std::vector<const int16_t*> values;
  for (size_t slot = 0; slot < children.size(); ++slot) {
    AssocNode* child = children[slot].get();
    if (!child) {
      t.lastNull = static_cast<int>(slot);
    } else if (!child->blank) {
      t.nodes.push_back(child);
      values.push_back(child->values.get());
    }
  }
  FillTable(t, levelCols(*context, level + 1) * levelRows(*context, level + 1), values);
  tableVersion_.store(version, std::memory_order_release);
  return table_.get();
}

void AssocNode::Probe(const cv::Mat& integral, const cv::Rect& window, WalkScratch& scratch) const {
  const AssocContext& c = *context;
  const int cols = levelCols(c, level + 1), rows = levelRows(c, level + 1);
  int16_t* probe = scratch.probe.data();
  CalcDescriptor(integral, window.x, window.y, window.width, window.height, cols + 1, rows + 1,
                 probe, cv::Mat());
  // The probe seen at the four half-cell offsets, each laid out like a child's values.
  const int n = cols * rows;
  for (int k = 0; k < 4; ++k) {
    const int shiftX = k & 1, shiftY = (k >> 1) & 1;
    int16_t* out = scratch.windows.data() + k * n;
    // Whole chunks: a row may spill into the next one, written after it, and the last into the
    // scratch's slack.
    for (int j = 0; j < rows; ++j) {
      const int16_t* from = probe + (j + shiftY) * (cols + 1) + shiftX;
      for (int i = 0; i < cols; i += kChunk)
        std::memcpy(out + j * cols + i, from + i, sizeof(int16_t) * kChunk);
    }
  }
}

AssocNode::Choice AssocNode::Choose(WalkScratch& scratch) const {
  const int n = levelCols(*context, level + 1) * levelRows(*context, level + 1);
  const int16_t* windows = scratch.windows.data();
  Choice choice;
  // The child's distance is its smallest offset distance; among equal distances the earlier
  // child wins.
  auto consider = [&](AssocNode* child, const uint64_t d[4]) {
    const int offset = LeastOffset(d);
    if (d[offset] < choice.distance) {
      choice.best = child;
      choice.distance = d[offset];
      choice.offset = offset;
    }
  };
  if (const ChildTable* table = Table()) {
    if (scratch.bounds.size() < static_cast<size_t>(table->stride))
      scratch.bounds.resize(table->stride);
    const Closest closest = TableClosest(*table, windows, scratch.bounds.data());
    if (closest.column >= 0) {
      choice.best = table->nodes[closest.column];
      choice.distance = closest.distance;
      choice.offset = closest.offset;
    }
    choice.lastNull = table->lastNull;
    return choice;
  }
  for (size_t slot = 0; slot < children.size(); ++slot) {
    AssocNode* child = children[slot].get();
    if (!child) {
      choice.lastNull = static_cast<int>(slot);
      continue;
    }
    if (child->blank) continue;  // matches anything, so it tells nothing
    uint64_t d[4];
    OffsetDistances(child->values.get(), windows, n, d);
    consider(child, d);
  }
  return choice;
}

bool AssocNode::FindBestChild(const cv::Mat& integral, cv::Rect& window, AssocNode*& best,
                              int32_t* similarity) {
  AssocContext& c = *context;
  const cv::Rect& levelWindow = c.geometry.levelWindows[level];
  window.width = levelWindow.width;
  window.height = levelWindow.height;
  Probe(integral, window, c.scratch);
  window.x += levelWindow.x >> 1;
  window.y += levelWindow.y >> 1;
  const Choice choice = Choose(c.scratch);
  if (choice.lastNull >= 0) freeSlot = choice.lastNull;
  best = choice.best;
  if (similarity && best) *similarity = fixedSimilarity(choice.distance, best->header.threshold);
  if (!best || choice.distance >= best->header.threshold) return false;
  if (choice.offset & 1) window.x += levelWindow.x;
  if (choice.offset & 2) window.y += levelWindow.y;
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
    const int dx = (c.geometry.levelWindows[0].width / (cols + 2)) >> 1;
    const int dy = (c.geometry.levelWindows[0].height / (rows + 2)) >> 1;
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
  // Only this node's table changes: the others stay current.
  tableVersion_.store(kStaleTable, std::memory_order_relaxed);
  return result;
}

void AssocNode::WriteNode(const cv::Mat& integral, cv::Rect area, cv::Rect& window, int32_t data) {
  const AssocContext& c = *context;
  const cv::Rect& scan = c.geometry.scanRect;
  const cv::Rect childArea(area.x + scan.x, area.y + scan.y, scan.width, scan.height);
  for (AssocNode* node = this; node->level < c.lattice.levels;) {
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

void AssocNode::Walk(const cv::Mat& integral, cv::Rect window, bool forceDescent,
                     const std::vector<cv::Rect>& levelWindows, WalkScratch& scratch,
                     WalkResult& result) const {
  const AssocContext& c = *context;
  result.similarity = 0;
  result.matched = true;
  result.steps = result.scans = 0;
  const AssocNode* node = this;
  for (;;) {
    result.end = const_cast<AssocNode*>(node);
    if (node->level >= c.lattice.levels || node->children.empty()) break;
    const cv::Rect& levelWindow = levelWindows[node->level];
    window.width = levelWindow.width;
    window.height = levelWindow.height;
    node->Probe(integral, window, scratch);
    window.x += levelWindow.x >> 1;
    window.y += levelWindow.y >> 1;
    const Choice choice = node->Choose(scratch);
    result.scanned[result.scans] = const_cast<AssocNode*>(node);
    result.lastNull[result.scans++] = choice.lastNull;
    AssocNode* best = choice.best;
    if (!best) {
      result.matched = false;
      break;
    }
    result.similarity = fixedSimilarity(choice.distance, best->header.threshold);
    if (choice.distance < best->header.threshold) {
      if (choice.offset & 1) window.x += levelWindow.x;
      if (choice.offset & 2) window.y += levelWindow.y;
    } else {
      result.matched = false;
    }
    if (!result.matched && !forceDescent) break;
    result.path[result.steps++] = best;
    node = best;
  }
  result.found = window;
}

void ApplyWalk(const WalkResult& walk) {
  for (int i = 0; i < walk.steps; ++i)
    if (walk.path[i]->header.hits < kMaxHits) ++walk.path[i]->header.hits;
  for (int i = 0; i < walk.scans; ++i)
    if (walk.lastNull[i] >= 0) walk.scanned[i]->freeSlot = walk.lastNull[i];
}

void AssocNode::Prune() {
  for (auto& slot : children) {
    if (!slot) continue;
    if (slot->header.hits <= Tuning::kPruneHits) {
      slot.reset();
      continue;
    }
    slot->Prune();
    const bool hasChild = std::any_of(slot->children.begin(), slot->children.end(),
                                      [](const auto& child) { return child != nullptr; });
    if (!hasChild && slot->level < context->lattice.levels) slot.reset();
  }
}

}  // namespace vizmoro::detail
