// The table sweep, written once for every vector width: each instruction set's kernels give a
// `Lanes` type with the few operations the sweep needs, and instantiate SweepTable with it.
//
// The sweep bounds each column first, many at once, by the distance of the values shifted right
// by table.shift, summed in 16 bits with saturation. Shifting moves a difference by less than
// 2^shift, so 2^shift times the bound, less n (2^shift - 1), is at most the true distance. A
// column whose bound shows it farther than the closest column so far is passed over; only the
// others are compared exactly.
#ifndef VIZMORO_CHILD_TABLE_SWEEP_HPP
#define VIZMORO_CHILD_TABLE_SWEEP_HPP

#include <algorithm>
#include <cstdint>

#include "child_table.hpp"

namespace vizmoro::detail {

// Lanes provides kLanes and a type Vector of 16-bit lanes, and:
//   Load(p) (int16_t or uint16_t), Broadcast(v), Zero();
//   AddBound(sum, values, probe): sum + |values - probe|, saturating (the differences of shifted
//     values fit 16 bits);
//   AddBoundKept(sum, values, probe, kept): the same in the lanes where kept is set;
//   Min(a, b) (unsigned); Store(p, v);
//   AtMost(v, limit): a bit per lane, lowest lane first, set where v is at most limit (unsigned);
//   Least(v): the least lane (unsigned); Fill(v, count): v with the lanes from count on at 65535.
//
// First every column's bound, then the exact comparisons: the column of the least bound first,
// so that the limit is tight from the start, then in column order every other one the limit lets
// through.
template <typename Lanes, bool kEmpty, bool kAhead>
Closest SweepColumns(const ChildTable& table, const int16_t* windows,
                     const typename Lanes::Vector* ahead, uint16_t* bounds) {
  using Vector = typename Lanes::Vector;
  const int n = table.n, shift = table.shift;
  auto probe = [&](int k, int i) {
    if constexpr (kAhead) return ahead[k * n + i];
    return Lanes::Broadcast(static_cast<int16_t>(windows[k * n + i] >> shift));
  };
  uint16_t least = 65535;
  int first = 0;
  for (int c = 0; c < table.columns; c += Lanes::kLanes) {
    Vector sum[4] = {Lanes::Zero(), Lanes::Zero(), Lanes::Zero(), Lanes::Zero()};
    for (int i = 0; i < n; ++i) {
      const size_t at = static_cast<size_t>(i) * table.stride + c;
      const Vector v = Lanes::Load(table.coarse.data() + at);
      if constexpr (kEmpty) {
        const Vector kept = Lanes::Load(table.kept.data() + at);
        for (int k = 0; k < 4; ++k) sum[k] = Lanes::AddBoundKept(sum[k], v, probe(k, i), kept);
      } else {
        for (int k = 0; k < 4; ++k) sum[k] = Lanes::AddBound(sum[k], v, probe(k, i));
      }
    }
    Vector bound = Lanes::Min(Lanes::Min(sum[0], sum[1]), Lanes::Min(sum[2], sum[3]));
    // The columns past the last child are never the least.
    if (table.columns - c < Lanes::kLanes) bound = Lanes::Fill(bound, table.columns - c);
    Lanes::Store(bounds + c, bound);
    const uint16_t blockLeast = Lanes::Least(bound);
    if (blockLeast < least || c == 0) {
      least = blockLeast;
      first = c + __builtin_ctzll(Lanes::AtMost(bound, blockLeast));
    }
  }

  Closest best;
  if (table.columns == 0) return best;
  CompareColumn(table, first, windows, best);
  // The largest bound of a column that may be as close as `best`.
  const uint64_t slack = static_cast<uint64_t>(n) * ((1u << shift) - 1);
  auto limit = [&] {
    return static_cast<uint16_t>(std::min<uint64_t>((best.distance + slack) >> shift, 65535));
  };
  for (int c = 0; c < table.columns; c += Lanes::kLanes) {
    for (uint64_t lanes = Lanes::AtMost(Lanes::Load(bounds + c), limit()); lanes;
         lanes &= lanes - 1) {
      const int column = c + __builtin_ctzll(lanes);
      if (column >= table.columns) break;
      // The limit tightens as closer columns are found.
      if (column != first && bounds[column] <= limit()) CompareColumn(table, column, windows, best);
    }
  }
  return best;
}

// Probes of at most this many values are broadcast once, before the sweep.
constexpr int kAheadValues = 4 * 36;

template <typename Lanes>
Closest SweepTable(const ChildTable& table, const int16_t* windows, uint16_t* bounds) {
  using Vector = typename Lanes::Vector;
  const int values = 4 * table.n;
  if (values <= kAheadValues && table.columns > Lanes::kLanes) {
    Vector ahead[kAheadValues];
    for (int j = 0; j < values; ++j)
      ahead[j] = Lanes::Broadcast(static_cast<int16_t>(windows[j] >> table.shift));
    return table.hasEmpty ? SweepColumns<Lanes, true, true>(table, windows, ahead, bounds)
                          : SweepColumns<Lanes, false, true>(table, windows, ahead, bounds);
  }
  return table.hasEmpty ? SweepColumns<Lanes, true, false>(table, windows, nullptr, bounds)
                        : SweepColumns<Lanes, false, false>(table, windows, nullptr, bounds);
}

}  // namespace vizmoro::detail

#endif  // VIZMORO_CHILD_TABLE_SWEEP_HPP
