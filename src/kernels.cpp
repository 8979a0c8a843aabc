#include "kernels.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

#include <opencv2/core.hpp>

namespace vizmoro::detail {

const std::vector<const Kernels*>& AllKernels() {
  static const std::vector<const Kernels*> all = {
#ifdef VIZMORO_X86_KERNELS
      &kAvx512Kernels, &kAvx2Kernels,
#endif
      &kScalarKernels};
  return all;
}

const Kernels* FindKernels(std::string_view name, const std::vector<const Kernels*>& tables) {
  for (const Kernels* kernels : tables)
    if (name == kernels->name) return kernels;
  return nullptr;
}

const Kernels& ChooseKernels(const char* forced, const std::vector<const Kernels*>& tables) {
  if (!forced || !*forced) {
    for (const Kernels* kernels : tables)
      if (kernels->supported()) return *kernels;
    // The scalar table runs anywhere: only a list without it gets here.
    CV_Error(cv::Error::StsInternal, "no kernel table runs on this processor");
  }
  if (const Kernels* kernels = FindKernels(forced, tables); kernels && kernels->supported())
    return *kernels;
  auto list = [](auto&& names) {
    std::string text;
    for (const char* name : names) text += std::string(text.empty() ? "" : ", ") + name;
    return text;
  };
  std::vector<const char*> runs;
  for (const Kernels* kernels : tables)
    if (kernels->supported()) runs.push_back(kernels->name);
  const std::string isa = forced;
  if (std::find(std::begin(kIsaNames), std::end(kIsaNames), isa) == std::end(kIsaNames))
    CV_Error(cv::Error::StsBadArg,
             "VIZMORO_FORCE_ISA=" + isa + " names no instruction set (" + list(kIsaNames) + ")");
  CV_Error(cv::Error::StsBadArg, "VIZMORO_FORCE_ISA=" + isa + ": this processor does not run " +
                                     isa + " (it runs " + list(runs) + ")");
}

const Kernels& ActiveKernels() {
  // A throwing initialiser leaves the static unset: the next call chooses again.
  static const Kernels& active = ChooseKernels(std::getenv("VIZMORO_FORCE_ISA"));
  return active;
}

Closest TableClosest(const ChildTable& table, const int16_t* windows, uint16_t* bounds) {
  return ActiveKernels().tableClosest(table, windows, bounds);
}

void ContrastRow(const uint32_t* a, const uint32_t* b, int n, int16_t* out) {
  ActiveKernels().contrastRow(a, b, n, out);
}

}  // namespace vizmoro::detail
