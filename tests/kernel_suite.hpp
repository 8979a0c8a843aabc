// Suites run once for each instruction set's kernel table: a table this build or processor lacks
// is skipped, saying which and why.
#ifndef VIZMORO_KERNEL_SUITE_HPP
#define VIZMORO_KERNEL_SUITE_HPP

#include <gtest/gtest.h>

#include <string>

#include "kernels.hpp"

class KernelSuite : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    kernels = vizmoro::detail::FindKernels(GetParam());
    if (!kernels) GTEST_SKIP() << GetParam() << " skipped: this build has no such kernels";
    if (!kernels->supported()) GTEST_SKIP() << GetParam() << " skipped: this processor lacks it";
  }
  const vizmoro::detail::Kernels* kernels = nullptr;
};

#define INSTANTIATE_KERNEL_SUITE(suite)                          \
  INSTANTIATE_TEST_SUITE_P(                                      \
      Isa, suite, testing::ValuesIn(vizmoro::detail::kIsaNames), \
      [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); })

#endif  // VIZMORO_KERNEL_SUITE_HPP
