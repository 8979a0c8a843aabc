// The learning options the programs turn on for runs that go on learning for hours: "/g" of
// Vizmoro, and the defaults of vizmoro-cli.
#ifndef VIZMORO_APP_LEARNING_DEFAULTS_HPP
#define VIZMORO_APP_LEARNING_DEFAULTS_HPP

#include <vizmoro/associative_memory.hpp>

namespace vizmoro {

// Bases a memory keeps at most: enough for the appearances of a few objects, few enough that a
// tracking pass stays about as fast as with a freshly taught memory.
constexpr int kDefaultBudget = 2000;

inline LearningOptions GuardedLearning() {
  LearningOptions options;
  options.guard = true;
  options.budget = kDefaultBudget;
  return options;
}

}  // namespace vizmoro

#endif  // VIZMORO_APP_LEARNING_DEFAULTS_HPP
