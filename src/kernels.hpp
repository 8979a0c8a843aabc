// The engine's vector kernels: one table of them per instruction set, each in a file of its own
// built for that instruction set, and the one in use, chosen once. Every table gives the same
// answers to the bit; they differ only in speed.
#ifndef VIZMORO_KERNELS_HPP
#define VIZMORO_KERNELS_HPP

#include <cstdint>
#include <string_view>
#include <vector>

#include "child_table.hpp"

namespace vizmoro::detail {

struct Kernels {
  const char* name;     // as VIZMORO_FORCE_ISA names it
  bool (*supported)();  // whether this processor runs it
  // The closest column of a table to the windows (4 x table.n values); `bounds` is scratch for
  // table.stride values.
  Closest (*tableClosest)(const ChildTable& table, const int16_t* windows, uint16_t* bounds);
  // CellContrast of a[c] and b[c] into out[c], for c < n.
  void (*contrastRow)(const uint32_t* a, const uint32_t* b, int n, int16_t* out);
};

// Every name VIZMORO_FORCE_ISA takes, whether this build has its table or not.
inline constexpr const char* kIsaNames[] = {"scalar", "avx2", "avx512"};

// The build's baseline instructions (OpenCV's universal intrinsics where it has them): every
// processor runs it.
extern const Kernels kScalarKernels;
// Only in builds for x86.
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;

// The tables of this build, the preferred first.
const std::vector<const Kernels*>& AllKernels();

// The table of that name among `tables`, or null.
const Kernels* FindKernels(std::string_view name,
                           const std::vector<const Kernels*>& tables = AllKernels());

// The table `forced` names, or with none (null or empty) the first of `tables` the processor
// runs. A name of no instruction set, or of one this build or processor lacks, is refused with
// cv::Exception (StsBadArg): a forced table is never replaced by another, nor run where it
// cannot.
const Kernels& ChooseKernels(const char* forced,
                             const std::vector<const Kernels*>& tables = AllKernels());

// The table in use: ChooseKernels of the environment variable VIZMORO_FORCE_ISA, chosen at the
// first call. Until a choice succeeds every call throws again, so a refused name never runs.
const Kernels& ActiveKernels();

// The active table's kernels.
Closest TableClosest(const ChildTable& table, const int16_t* windows, uint16_t* bounds);
void ContrastRow(const uint32_t* a, const uint32_t* b, int n, int16_t* out);

}  // namespace vizmoro::detail

#endif  // VIZMORO_KERNELS_HPP
