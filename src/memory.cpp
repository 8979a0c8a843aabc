// The memory object: construction, geometry of the interest area, counters and the visitor.
#include <algorithm>
#include <cmath>
#include <limits>

#include "condensation.hpp"
#include "errors.hpp"
#include "geometry.hpp"
#include "kernels.hpp"
#include "memory_state.hpp"
#include "tuning.hpp"

using namespace vizmoro;
using namespace vizmoro::detail;

namespace {

constexpr int64_t kIntMax = std::numeric_limits<int>::max();
constexpr const char* kBeyondCoordinates = "The fitted box lies beyond the coordinates of an image";

int32_t clampToInt32(int64_t value) {
  return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

}  // namespace

namespace vizmoro::detail {

TrackedObject::TrackedObject() = default;
TrackedObject::~TrackedObject() = default;
TrackedObject::TrackedObject(TrackedObject&&) noexcept = default;
TrackedObject& TrackedObject::operator=(TrackedObject&&) noexcept = default;

}  // namespace vizmoro::detail

CvAssociativeMemoryState::CvAssociativeMemoryState() {
  context.maskRef = &mask;
}

CvAssociativeMemoryState::~CvAssociativeMemoryState() {
  release();
}

void CvAssociativeMemoryState::release() {
  UserCodeScope freeingUserBlocks(*this);
  root.reset();
  context.cellBuffer = {};
  context.scratch = WalkScratch();
  context.lattice.levelSpans = {};
  context.geometry.levelWindows = {};
  integral.release();
  lowerBound = upperBound = cv::Vec2f();
  trackedObjects.clear();  // frees every filter and user block
}

void CvAssociativeMemoryState::setAreaSize(int width, int height) {
  const Lattice& l = context.lattice;
  AreaGeometry& g = context.geometry;
  g.scaleX = static_cast<float>(width) / l.gridWidth;
  g.scaleY = static_cast<float>(height) / l.gridHeight;
  g.levelWindows[0].width = width;
  g.levelWindows[0].height = height;
  for (int j = 1; j <= l.levels; ++j) {
    cv::Rect& window = g.levelWindows[j];
    cv::Rect& outer = g.levelWindows[j - 1];
    window.width = static_cast<int>(l.levelSpans[j].x * g.scaleX);
    window.height = static_cast<int>(l.levelSpans[j].y * g.scaleY);
    window.x = window.y = 0;
    outer.x = (outer.width - window.width) >> 1;
    outer.y = (outer.height - window.height) >> 1;
  }
  g.patternWidth = static_cast<int>(l.spanWidth * g.scaleX);
  g.patternHeight = static_cast<int>(l.spanHeight * g.scaleY);
  g.patternX = (width - g.patternWidth) >> 1;
  g.patternY = (height - g.patternHeight) >> 1;
  const int insetX = g.levelWindows[0].x >> 3;
  const int insetY = g.levelWindows[0].y >> 3;
  g.scanRect = cv::Rect(g.patternX - insetX, g.patternY - insetY, g.patternWidth + 2 * insetX,
                        g.patternHeight + 2 * insetY);
}

bool CvAssociativeMemoryState::countAccess(bool deferPruning) {
  ++context.accessCount;
  if (context.accessCount % Tuning::kPruneEvery != 0 || prunedNodeCount == context.nodeCount)
    return false;
  if (deferPruning) {
    prunePending = true;
    return false;
  }
  root->Prune();
  prunedNodeCount = context.nodeCount;
  return true;
}

void CvAssociativeMemoryState::settlePruning() {
  if (!prunePending) return;
  prunePending = false;
  root->Prune();
  prunedNodeCount = context.nodeCount;
}

CvAssociativeMemory::CvAssociativeMemory(int /*blockSize*/)
    : state(std::make_unique<CvAssociativeMemoryState>()) {
  // The kernels are chosen here, so that a VIZMORO_FORCE_ISA this processor cannot run is
  // refused before there is a memory, never half-way through a call.
  ActiveKernels();
}

CvAssociativeMemory::~CvAssociativeMemory() = default;

void CvAssociativeMemory::Create(int width, int height, int16_t levels) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "Create");
  if (width > kMaxAreaSide || height > kMaxAreaSide)
    AM_REPORT(cv::Error::StsOutOfRange, "Create", "Interest area is too large");
  CvAssociativeMemoryState& s = *state;
  s.settlePruning();  // it may move the count of the last pruning
  s.release();
  s.context = AssocContext();
  s.context.maskRef = &s.mask;
  // The integral image is gone: behave as if no source image were set.
  s.image.release();
  s.mask.release();

  AssocContext& c = s.context;
  Lattice& l = c.lattice;
  l.width = std::max(width, 40);
  l.height = std::max(height, 40);
  l.gridWidth = gridUnits(l.width);
  l.gridHeight = gridUnits(l.height);
  l.spanWidth = bitPow(l.gridWidth >> 1);
  l.spanHeight = bitPow(l.gridHeight >> 1);
  l.maxLevels = gridMaxLevels(l.gridWidth, l.gridHeight);
  if (levels <= 0)
    levels = static_cast<int16_t>(std::min(l.gridWidth, l.gridHeight) > 40 ? l.maxLevels - 1
                                                                           : l.maxLevels);
  l.levels = std::min(levels, l.maxLevels);

  c.cellBuffer.assign(static_cast<size_t>(levelCols(l, l.levels) + 1) *
                          static_cast<size_t>(levelRows(l, l.levels) + 1),
                      0);
  FitScratch(c, c.scratch);
  l.levelSpans.resize(l.levels + 1);
  for (int i = 0; i <= l.levels; ++i) {
    const int m = std::min<int>(i + 1, l.maxLevels);
    const int64_t k = std::min(levelCols(l, m), levelRows(l, m));
    l.levelSpans[i].x = static_cast<int>((k + 2) * l.spanWidth / (k + 1));
    l.levelSpans[i].y = static_cast<int>((k + 2) * l.spanHeight / (k + 1));
  }
  c.geometry.levelWindows.assign(l.levels + 1, cv::Rect());

  s.stepX = l.gridWidth / (levelCols(l, 1) + 2);
  s.stepY = l.gridHeight / (levelRows(l, 1) + 2);
  const int64_t gateX = l.gridWidth + s.stepX, gateY = l.gridHeight + s.stepY;
  s.trackGate2 = clampToInt32((gateX * gateX + gateY * gateY) / 2);
  s.stepX2 = static_cast<float>(s.stepX * s.stepX);
  s.stepY2 = static_cast<float>(s.stepY * s.stepY);
  const int64_t area2 = int64_t{l.width} * l.width + int64_t{l.height} * l.height;
  s.mergeDistance2 = clampToInt32(static_cast<int64_t>(static_cast<double>(area2) * 0.0625));
  s.upperBound = cv::Vec2f(static_cast<float>(s.stepX), static_cast<float>(s.stepY));
  s.lowerBound = -s.upperBound;

  s.setAreaSize(l.width, l.height);

  s.root = std::make_unique<AssocNode>(&c);
  s.root->cols = levelCols(l, 0);
  s.root->rows = levelRows(l, 0);
  c.memorySize += s.root->cols * s.root->rows * 2;
  s.root->header.id = ++c.lastNodeId;
}

void CvAssociativeMemory::Prune() {
  AM_REFUSE_INSIDE_CALLBACK(*state, "Prune");
  state->settlePruning();
  if (state->root) state->root->Prune();
}

namespace {

bool visit(AssocNode& node, NodeAMFunc func, void* user) {
  if (node.level >= 1 &&
      !func(node.cols, node.rows, node.values.get(), &node.header.data, node.header.id,
            node.header.hits, static_cast<int>(node.children.size()), node.level, user))
    return false;
  for (auto& child : node.children)
    if (child && !visit(*child, func, user)) return false;
  return true;
}

}  // namespace

bool CvAssociativeMemory::VisitNodes(NodeAMFunc func, void* user) {
  if (!func) return false;
  return !state->root || visit(*state->root, func, user);
}

cv::Rect CvAssociativeMemory::FittedBox(const cv::Rect& found, cv::Size taught) const {
  const AssocContext& c = state->context;
  if (!state->root) return found;
  const cv::Size inner = innerWindow(c.lattice);
  const int innerWidth = inner.width, innerHeight = inner.height;
  const double scaleX = static_cast<double>(found.width) / innerWidth;
  const double scaleY = static_cast<double>(found.height) / innerHeight;
  const double width = std::round(taught.width * scaleX);
  const double height = std::round(taught.height * scaleY);
  if (!(std::abs(width) <= kIntMax && std::abs(height) <= kIntMax))
    AM_REPORT(cv::Error::StsOutOfRange, "FittedBox", kBeyondCoordinates);
  const int64_t w = static_cast<int64_t>(width), h = static_cast<int64_t>(height);
  const int64_t x = int64_t{found.x} + (found.width >> 1) - (w >> 1);
  const int64_t y = int64_t{found.y} + (found.height >> 1) - (h >> 1);
  for (int64_t v : {x, y, x + w, y + h})
    if (v < -kIntMax - 1 || v > kIntMax)
      AM_REPORT(cv::Error::StsOutOfRange, "FittedBox", kBeyondCoordinates);
  return cv::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                  static_cast<int>(h));
}

int CvAssociativeMemory::GetNodeCount() const {
  return state->context.nodeCount;
}
int16_t CvAssociativeMemory::GetMaxDepth() const {
  return state->context.maxDepth;
}
uint64_t CvAssociativeMemory::GetLastNodeId() const {
  return state->context.lastNodeId;
}
uint64_t CvAssociativeMemory::GetAccessCount() const {
  return state->context.accessCount;
}
cv::Size CvAssociativeMemory::GetSize() const {
  return cv::Size(state->context.lattice.width, state->context.lattice.height);
}
