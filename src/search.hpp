// Position search: windows of the interest area's proportions at growing sizes over the whole
// image, each read as Read does and grouped into found objects.
#ifndef VIZMORO_SEARCH_HPP
#define VIZMORO_SEARCH_HPP

#include <exception>

#include "memory_state.hpp"

namespace vizmoro::detail {

// The caller's callback as a pass delivers its events. An exception the callback throws is
// kept and no later event is delivered; the pass goes on to its end and then rethrows it, so
// the memory is left as after a whole pass, never half-way through one.
class Callback {
 public:
  Callback(RcgAMFunc func, void* userData) : func_(func), userData_(userData) {}
  void operator()(int code, uint32_t* objectIndex, RcgAMResult* result) noexcept {
    if (failure_) return;
    try {
      func_(code, objectIndex, result, userData_);
    } catch (...) {
      failure_ = std::current_exception();
    }
  }
  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  RcgAMFunc func_;
  void* userData_;
  std::exception_ptr failure_;
};

struct SearchContext {
  CvAssociativeMemoryState* state;
  Callback* callback;
};

using PositionVisitor = void (*)(cv::Rect window, void* context);

// Visits every window position of every window size, sizes growing, rows outer.
void PositionSearch(CvAssociativeMemoryState& state, PositionVisitor visitor, void* context);

// Reads one window, reports it (code 1 or 2) and adds a match to the state's found objects.
// The context is a SearchContext.
void CollectFound(cv::Rect window, void* context);

// Clears the found objects and runs the search with CollectFound.
void SearchFoundObjects(CvAssociativeMemoryState& state, Callback& callback);

}  // namespace vizmoro::detail

#endif  // VIZMORO_SEARCH_HPP
