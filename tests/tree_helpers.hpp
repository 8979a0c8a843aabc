// Building and reading trees directly, for the engine suites.
#ifndef VIZMORO_TREE_HELPERS_HPP
#define VIZMORO_TREE_HELPERS_HPP

#include <vector>

#include "geometry.hpp"
#include "memory_state.hpp"

using vizmoro::detail::AssocHeader;
using vizmoro::detail::AssocNode;
using vizmoro::detail::CvAssociativeMemoryAccess;
using vizmoro::detail::CvAssociativeMemoryState;

inline CvAssociativeMemoryState& stateOf(CvAssociativeMemory& memory) {
  return CvAssociativeMemoryAccess::state(memory);
}

// Restores a child with the given header; its values are `fill` unless given.
inline AssocNode* addChild(AssocNode& parent, AssocHeader header, int16_t fill = 0,
                           const std::vector<int16_t>* values = nullptr) {
  const vizmoro::detail::AssocContext& c = *parent.context;
  std::vector<int16_t> filled(static_cast<size_t>(vizmoro::detail::levelCols(c, parent.level + 1) *
                                                  vizmoro::detail::levelRows(c, parent.level + 1)),
                              fill);
  return parent.InsertChild(cv::Mat(), cv::Rect(), values ? values->data() : filled.data(),
                            &header);
}

inline AssocNode* addChild(AssocNode& parent, uint64_t id, uint64_t hits) {
  return addChild(parent, AssocHeader{id, hits, 100, 1});
}

// The nodes below the root in visiting order.
struct VisitedNode {
  int cols, rows;
  std::vector<int16_t> values;
  int32_t data;
  uint64_t id, hits;
  int slots;
  int16_t level;
  bool operator==(const VisitedNode& o) const {
    return cols == o.cols && rows == o.rows && values == o.values && data == o.data && id == o.id &&
           hits == o.hits && slots == o.slots && level == o.level;
  }
};

inline std::vector<VisitedNode> visitAll(CvAssociativeMemory& memory) {
  std::vector<VisitedNode> nodes;
  memory.VisitNodes(
      [](int cols, int rows, const int16_t* values, int32_t* data, uint64_t id, uint64_t hits,
         int slots, int16_t level, void* user) {
        static_cast<std::vector<VisitedNode>*>(user)->push_back(
            {cols, rows, std::vector<int16_t>(values, values + cols * rows), *data, id, hits, slots,
             level});
        return true;
      },
      &nodes);
  return nodes;
}

#endif  // VIZMORO_TREE_HELPERS_HPP
