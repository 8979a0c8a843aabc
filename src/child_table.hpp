// The closest-child comparison: a probe seen at four offsets against every child of a node.
// The children of a node with many of them are kept, value by value, in a table that the
// comparison sweeps with SIMD over many children at once; the result is the one of the plain
// comparison, to the bit.
#ifndef VIZMORO_CHILD_TABLE_HPP
#define VIZMORO_CHILD_TABLE_HPP

#include <cstdint>
#include <vector>

namespace vizmoro::detail {

struct AssocNode;

// Values per child that a table takes: their differences add up within 32 bits.
constexpr int kTableMaxValues = 65536;

// The comparable children of a node (neither empty slots nor blank bases), in slot order, made
// by FillTable.
struct ChildTable {
  std::vector<AssocNode*> nodes;
  int columns = 0;  // the children in the table
  int n = 0;        // values per child
  int stride = 0;   // columns rounded up to whole vectors
  int shift = 1;    // TableShift(n)
  bool hasEmpty = false;
  std::vector<int16_t> exact;   // the values of child c at c * n
  std::vector<int16_t> coarse;  // value i of child c shifted right by `shift`, at i * stride + c
  std::vector<int16_t> kept;    // with empty cells: -1 where coarse holds a value, else 0
  int lastNull = -1;            // the last empty slot, or -1
};

// Lays out the values of the children (n each, n <= kTableMaxValues) as the sweeps read them.
void FillTable(ChildTable& table, int n, const std::vector<const int16_t*>& children);

// The closest column of a table: the smallest of its four offset distances, the lowest offset
// code among equal distances and the lowest column among equal children. Column -1: none.
struct Closest {
  int column = -1;
  uint64_t distance = ~uint64_t{0};
  int offset = 0;
};

// Distances of n values to the four offset windows (4 x n, window k at k * n), skipping the
// values' empty cells: the plain comparison, in vectors of the build's baseline instructions.
void OffsetDistances(const int16_t* values, const int16_t* windows, int n, uint64_t d[4]);

// The offset of the smallest of four offset distances, the lowest code among equal ones.
inline int LeastOffset(const uint64_t d[4]) {
  int offset = 0;
  for (int k = 1; k < 4; ++k)
    if (d[k] < d[offset]) offset = k;
  return offset;
}

// Compares column c exactly and takes it if it is closer than `best`, or as close and earlier.
void CompareColumn(const ChildTable& table, int c, const int16_t* windows, Closest& best);

// The stride of a table of `children` children.
int TableStride(int children);

// The shift of the bounds for n values per child: at least 1, so that the shifted values'
// differences fit 16 bits, and enough that typical distances stay below 2^16 after it.
int TableShift(int n);

}  // namespace vizmoro::detail

#endif  // VIZMORO_CHILD_TABLE_HPP
