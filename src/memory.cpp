// The memory object: construction, geometry of the interest area, counters and the visitor.
#include <algorithm>
#include <cmath>
#include <limits>

#include "condensation.hpp"
#include "errors.hpp"
#include "geometry.hpp"
#include "memory_state.hpp"
#include "tuning.hpp"

using namespace vizmoro::detail;

namespace {

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
  context.levelSpans = {};
  context.levelWindows = {};
  integral.release();
  lowerBound = upperBound = cv::Vec2f();
  trackedObjects.clear();  // frees every filter and user block
}

void CvAssociativeMemoryState::setAreaSize(int width, int height) {
  AssocContext& c = context;
  c.scaleX = static_cast<float>(width) / c.gridWidth;
  c.scaleY = static_cast<float>(height) / c.gridHeight;
  c.levelWindows[0].width = width;
  c.levelWindows[0].height = height;
  for (int j = 1; j <= c.levels; ++j) {
    cv::Rect& window = c.levelWindows[j];
    cv::Rect& outer = c.levelWindows[j - 1];
    window.width = static_cast<int>(c.levelSpans[j].x * c.scaleX);
    window.height = static_cast<int>(c.levelSpans[j].y * c.scaleY);
    window.x = window.y = 0;
    outer.x = (outer.width - window.width) >> 1;
    outer.y = (outer.height - window.height) >> 1;
  }
  c.patternWidth = static_cast<int>(c.spanWidth * c.scaleX);
  c.patternHeight = static_cast<int>(c.spanHeight * c.scaleY);
  c.patternX = (width - c.patternWidth) >> 1;
  c.patternY = (height - c.patternHeight) >> 1;
  const int insetX = c.levelWindows[0].x >> 3;
  const int insetY = c.levelWindows[0].y >> 3;
  c.scanRect = cv::Rect(c.patternX - insetX, c.patternY - insetY, c.patternWidth + 2 * insetX,
                        c.patternHeight + 2 * insetY);
}

bool CvAssociativeMemoryState::countAccess() {
  ++context.accessCount;
  if (context.accessCount % Tuning::kPruneEvery != 0 || prunedNodeCount == context.nodeCount)
    return false;
  root->Prune();
  prunedNodeCount = context.nodeCount;
  return true;
}

CvAssociativeMemory::CvAssociativeMemory(int /*blockSize*/)
    : state(std::make_unique<CvAssociativeMemoryState>()) {}

CvAssociativeMemory::~CvAssociativeMemory() = default;

void CvAssociativeMemory::Create(int width, int height, int16_t levels) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "Create");
  if (width > kMaxAreaSide || height > kMaxAreaSide)
    AM_REPORT(cv::Error::StsOutOfRange, "Create", "Interest area is too large");
  CvAssociativeMemoryState& s = *state;
  s.release();
  s.context = AssocContext();
  s.context.maskRef = &s.mask;
  // The integral image is gone: behave as if no source image were set.
  s.image.release();
  s.mask.release();

  AssocContext& c = s.context;
  c.width = std::max(width, 40);
  c.height = std::max(height, 40);
  c.gridWidth = gridUnits(c.width);
  c.gridHeight = gridUnits(c.height);
  c.spanWidth = bitPow(c.gridWidth >> 1);
  c.spanHeight = bitPow(c.gridHeight >> 1);
  c.maxLevels = gridMaxLevels(c.gridWidth, c.gridHeight);
  if (levels <= 0)
    levels = static_cast<int16_t>(std::min(c.gridWidth, c.gridHeight) > 40 ? c.maxLevels - 1
                                                                           : c.maxLevels);
  c.levels = std::min(levels, c.maxLevels);

  c.cellBuffer.assign(static_cast<size_t>(levelCols(c, c.levels) + 1) *
                          static_cast<size_t>(levelRows(c, c.levels) + 1),
                      0);
  FitScratch(c, c.scratch);
  c.levelSpans.resize(c.levels + 1);
  for (int i = 0; i <= c.levels; ++i) {
    const int m = std::min<int>(i + 1, c.maxLevels);
    const int64_t k = std::min(levelCols(c, m), levelRows(c, m));
    c.levelSpans[i].x = static_cast<int>((k + 2) * c.spanWidth / (k + 1));
    c.levelSpans[i].y = static_cast<int>((k + 2) * c.spanHeight / (k + 1));
  }
  c.levelWindows.assign(c.levels + 1, cv::Rect());

  s.stepX = c.gridWidth / (levelCols(c, 1) + 2);
  s.stepY = c.gridHeight / (levelRows(c, 1) + 2);
  const int64_t gateX = c.gridWidth + s.stepX, gateY = c.gridHeight + s.stepY;
  s.trackGate2 = clampToInt32((gateX * gateX + gateY * gateY) / 2);
  s.stepX2 = static_cast<float>(s.stepX * s.stepX);
  s.stepY2 = static_cast<float>(s.stepY * s.stepY);
  const int64_t area2 = int64_t{c.width} * c.width + int64_t{c.height} * c.height;
  s.mergeDistance2 = clampToInt32(static_cast<int64_t>(static_cast<double>(area2) * 0.0625));
  s.upperBound = cv::Vec2f(static_cast<float>(s.stepX), static_cast<float>(s.stepY));
  s.lowerBound = -s.upperBound;

  s.setAreaSize(c.width, c.height);

  s.root = std::make_unique<AssocNode>(&c);
  s.root->cols = levelCols(c, 0);
  s.root->rows = levelRows(c, 0);
  c.memorySize += s.root->cols * s.root->rows * 2;
  s.root->header.id = ++c.lastNodeId;
}

void CvAssociativeMemory::Prune() {
  AM_REFUSE_INSIDE_CALLBACK(*state, "Prune");
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
  const cv::Size inner = innerWindow(c);
  const int innerWidth = inner.width, innerHeight = inner.height;
  const double scaleX = static_cast<double>(found.width) / innerWidth;
  const double scaleY = static_cast<double>(found.height) / innerHeight;
  const int width = static_cast<int>(std::lround(taught.width * scaleX));
  const int height = static_cast<int>(std::lround(taught.height * scaleY));
  const int centreX = found.x + (found.width >> 1), centreY = found.y + (found.height >> 1);
  return cv::Rect(centreX - (width >> 1), centreY - (height >> 1), width, height);
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
  return cv::Size(state->context.width, state->context.height);
}
