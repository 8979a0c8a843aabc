// Error reports of the memory: cv::error with the operation's name and a fixed message.
#ifndef VIZMORO_ERRORS_HPP
#define VIZMORO_ERRORS_HPP

#include <opencv2/core.hpp>

#define AM_REPORT(code, func, message) \
  cv::error((code), (message), "CvAssociativeMemory::" func, __FILE__, __LINE__)

// Refuses an operation that would change the memory while it runs its caller's code.
#define AM_REFUSE_INSIDE_CALLBACK(state, func)                                             \
  do {                                                                                     \
    if ((state).runningUserCode > 0)                                                       \
      AM_REPORT(cv::Error::StsError, func, vizmoro::detail::am_messages::kInsideCallback); \
  } while (false)

namespace vizmoro::detail::am_messages {
constexpr const char* kNotCreated = "Associative memory is not created";
constexpr const char* kNoImage = "Source image is not set";
constexpr const char* kNullCallback = "The pointer of RcgAMFunc is NULL";
constexpr const char* kNullPacked = "The pointer of packed data is NULL";
constexpr const char* kInsideCallback =
    "The memory cannot be changed from inside its own callback or a user block's destructor";
constexpr const char* kDataSize = "Size of input data do not match to actual settings";
}  // namespace vizmoro::detail::am_messages

#endif  // VIZMORO_ERRORS_HPP
