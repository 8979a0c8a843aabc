// The closest-child comparison over a table of children gives the plain comparison's choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "child_table.hpp"
#include "descriptor.hpp"
#include "kernel_suite.hpp"
#include "report.hpp"

using namespace vizmoro::detail;

namespace {

// The plain comparison, one value at a time: every child's four offset distances, the lowest
// code among equal distances, the earliest child among equal children.
Closest plainClosest(const std::vector<std::vector<int16_t>>& children,
                     const std::vector<int16_t>& windows) {
  Closest best;
  const int n = static_cast<int>(windows.size() / 4);
  for (size_t c = 0; c < children.size(); ++c) {
    uint64_t d[4] = {0, 0, 0, 0};
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < 4; ++k)
        if (children[c][i] != AM_EMPTY_CELL)
          d[k] += static_cast<uint64_t>(std::abs(children[c][i] - windows[k * n + i]));
    uint64_t vectors[4];
    OffsetDistances(children[c].data(), windows.data(), n, vectors);
    EXPECT_TRUE(std::equal(d, d + 4, vectors)) << "child " << c;
    int offset = 0;
    for (int k = 1; k < 4; ++k)
      if (d[k] < d[offset]) offset = k;
    if (d[offset] < best.distance) best = Closest{static_cast<int>(c), d[offset], offset};
  }
  return best;
}

ChildTable tableOf(const std::vector<std::vector<int16_t>>& children, int n) {
  ChildTable table;
  std::vector<const int16_t*> values;
  for (const auto& child : children) values.push_back(child.data());
  FillTable(table, n, values);
  return table;
}

// Each table's sweep against the plain comparison.
class TableSweep : public KernelSuite {
 protected:
  void expectChooses(const ChildTable& table, const std::vector<int16_t>& windows,
                     const Closest& expected) {
    std::vector<uint16_t> bounds(table.stride);
    const Closest got = kernels->tableClosest(table, windows.data(), bounds.data());
    EXPECT_EQ(got.column, expected.column);
    EXPECT_EQ(got.distance, expected.distance);
    EXPECT_EQ(got.offset, expected.offset);
  }
};

TEST_P(TableSweep, ChoosesAsThePlainComparison) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> value(-32767, 32767), coin(0, 9);
  for (int n : {9, 49, 225, 1000}) {
    for (int children : {1, 7, 8, 9, 16, 17, 31, 32, 33, 40, 100, 700}) {
      for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(testing::Message()
                     << n << " values, " << children << " children, round " << round);
        // Round 0: extremes, empty cells and ordinary values; 1: values near one another, so
        // that many bounds tie; 2: copies of one child, so that the earliest must win; 3: a
        // close child late in the table.
        std::vector<std::vector<int16_t>> plain(children, std::vector<int16_t>(n));
        for (auto& child : plain)
          for (int16_t& v : child) {
            const int pick = coin(random);
            v = round == 1  ? static_cast<int16_t>(value(random) % 40)
                : pick == 0 ? AM_EMPTY_CELL
                : pick == 1 ? int16_t{32767}
                : pick == 2 ? int16_t{-32767}
                            : static_cast<int16_t>(value(random));
          }
        std::vector<int16_t> windows(4 * n);
        for (int16_t& w : windows)
          w = round == 1 ? static_cast<int16_t>(value(random) % 40)
                         : static_cast<int16_t>(coin(random) < 2 ? -32767 : value(random));
        // Ties between offsets: a window equal to another.
        if (children > 8) std::copy_n(windows.begin(), n, windows.begin() + n);
        if (round == 2)
          for (int c = children / 3; c < children; c += 2) plain[c] = plain[children / 3];
        if (round == 3)
          for (int i = 0; i < n; ++i)
            plain.back()[i] =
                static_cast<int16_t>(std::clamp(windows[2 * n + i] + 3, -32767, 32767));
        expectChooses(tableOf(plain, n), windows, plainClosest(plain, windows));
      }
    }
  }
}

TEST_P(TableSweep, LargeDistancesSaturateTheBoundsWithoutChangingTheChoice) {
  // Every difference near its largest: the 16-bit bounds saturate.
  const int n = 225;
  std::vector<std::vector<int16_t>> plain(70, std::vector<int16_t>(n, 32767));
  for (int c = 0; c < 70; ++c) plain[c][c % n] = static_cast<int16_t>(32767 - 7 * (c % 5));
  const std::vector<int16_t> windows(4 * n, -32767);
  expectChooses(tableOf(plain, n), windows, plainClosest(plain, windows));
}

INSTANTIATE_KERNEL_SUITE(TableSweep);

TEST(KernelChoice, TakesTheBestTableOrTheForcedOneAndRefusesWhatCannotRun) {
  const Kernels lacking = {"avx512", [] { return false; }, kScalarKernels.tableClosest,
                           kScalarKernels.contrastRow};
  const Kernels running = {"avx2", [] { return true; }, kScalarKernels.tableClosest,
                           kScalarKernels.contrastRow};
  const std::vector<const Kernels*> tables = {&lacking, &running, &kScalarKernels};
  EXPECT_EQ(&ChooseKernels(nullptr, tables), &running);
  EXPECT_EQ(&ChooseKernels("", tables), &running);
  EXPECT_EQ(&ChooseKernels("scalar", tables), &kScalarKernels);
  const std::string func = "ChooseKernels";
  EXPECT_EQ(reportOf([&] { ChooseKernels("avx512", tables); }),
            (Report{cv::Error::StsBadArg, func,
                    "VIZMORO_FORCE_ISA=avx512: this processor does not run avx512 (it runs avx2, "
                    "scalar)"}));
  EXPECT_EQ(reportOf([&] { ChooseKernels("AVX2", tables); }),
            (Report{cv::Error::StsBadArg, func,
                    "VIZMORO_FORCE_ISA=AVX2 names no instruction set (scalar, avx2, avx512)"}));
  // The table in use is the one the environment forces, else the best of this build.
  EXPECT_EQ(&ActiveKernels(), &ChooseKernels(std::getenv("VIZMORO_FORCE_ISA")));
}

}  // namespace
