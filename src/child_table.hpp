// The closest-child comparison: a probe seen at four offsets against every child of a node.
// The children of a node with many of them are kept, value by value, in a table that the
// comparison sweeps with SIMD over many children at once; the result is the one of the plain
// comparison, to the bit.
#ifndef VIZMORO_CHILD_TABLE_HPP
#define VIZMORO_CHILD_TABLE_HPP

#include <cstdint>
#include <vector>

struct AssocNode;

// Values per child that a table takes: their differences add up within 32 bits.
constexpr int kTableMaxValues = 65536;

// The comparable children of a node (neither empty slots nor blank bases), in slot order, with
// value i of child c at values[i * stride + c]. The stride rounds the children up to whole
// vectors; the columns past the last child hold empty values.
struct ChildTable {
  std::vector<AssocNode*> nodes;
  std::vector<int16_t> values;
  int stride = 0;
  int lastNull = -1;  // the last empty slot, or -1
};

// Distances of n values to the four offset windows (4 x n, window k at k * n), skipping the
// values' empty cells: the plain comparison.
void OffsetDistances(const int16_t* values, const int16_t* windows, int n, uint64_t d[4]);

// For every column c of a table of n values per child (n <= kTableMaxValues): the smallest of
// its four offset distances in distance[c], and in offset[c] its offset code, the lowest among
// equal distances.
void TableClosest(const ChildTable& table, int n, const int16_t* windows, uint32_t* distance,
                  uint32_t* offset);

// The two sweeps TableClosest chooses from: OpenCV's universal intrinsics (any processor), and
// AVX2 where the processor has it (HasAvx2).
void TableClosestPortable(const ChildTable& table, int n, const int16_t* windows,
                          uint32_t* distance, uint32_t* offset);
void TableClosestAvx2(const int16_t* values, int stride, int n, const int16_t* windows,
                      uint32_t* distance, uint32_t* offset);
bool HasAvx2();

// The stride of a table of `children` children.
int TableStride(int children);

#endif  // VIZMORO_CHILD_TABLE_HPP
