// The closest-child comparison over a table of children gives the plain comparison's distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "child_table.hpp"
#include "descriptor.hpp"

namespace {

TEST(ChildTable, SweepGivesThePlainDistancesOfEveryChild) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> value(-32767, 32767), coin(0, 9);
  for (int n : {9, 49, 225}) {
    for (int children : {1, 7, 8, 9, 16, 17, 40}) {
      SCOPED_TRACE(testing::Message() << n << " values, " << children << " children");
      ChildTable table;
      table.nodes.resize(children);  // only counted here
      table.stride = TableStride(children);
      ASSERT_GE(table.stride, children);
      table.values.assign(static_cast<size_t>(n) * table.stride, AM_EMPTY_CELL);
      std::vector<std::vector<int16_t>> plain(children, std::vector<int16_t>(n));
      for (int c = 0; c < children; ++c)
        for (int i = 0; i < n; ++i) {
          // Extremes, empty cells and ordinary values.
          const int pick = coin(random);
          const int16_t v = pick == 0   ? AM_EMPTY_CELL
                            : pick == 1 ? 32767
                            : pick == 2 ? -32767
                                        : value(random);
          plain[c][i] = v;
          table.values[static_cast<size_t>(i) * table.stride + c] = v;
        }
      std::vector<int16_t> windows(4 * n);
      for (int16_t& w : windows)
        w = static_cast<int16_t>(coin(random) < 2 ? -32767 : value(random));
      // Ties between offsets: a window equal to another.
      if (children > 8) std::copy_n(windows.begin(), n, windows.begin() + n);
      for (int sweep = 0; sweep < 3; ++sweep) {
        if (sweep == 2 && !HasAvx2()) continue;
        SCOPED_TRACE(sweep);
        std::vector<uint32_t> distance(table.stride), offset(table.stride);
        if (sweep == 0)
          TableClosest(table, n, windows.data(), distance.data(), offset.data());
        else if (sweep == 1)
          TableClosestPortable(table, n, windows.data(), distance.data(), offset.data());
        else
          TableClosestAvx2(table.values.data(), table.stride, n, windows.data(), distance.data(),
                           offset.data());
        for (int c = 0; c < children; ++c) {
          uint64_t d[4];
          OffsetDistances(plain[c].data(), windows.data(), n, d);
          int best = 0;
          for (int k = 1; k < 4; ++k)
            if (d[k] < d[best]) best = k;
          EXPECT_EQ(distance[c], d[best]) << c;
          EXPECT_EQ(offset[c], static_cast<uint32_t>(best)) << c;
        }
      }
    }
  }
}

}  // namespace
