// The report (code, operation, message) of a call that is expected to refuse.
#ifndef VIZMORO_REPORT_HPP
#define VIZMORO_REPORT_HPP

#include <gtest/gtest.h>

#include <string>

#include <opencv2/core.hpp>

struct Report {
  int code = 0;
  std::string func, message;
  bool operator==(const Report& o) const {
    return code == o.code && func == o.func && message == o.message;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Report& r) {
  return os << r.code << " " << r.func << ": \"" << r.message << "\"";
}

template <typename F>
Report reportOf(F&& call) {
  try {
    call();
  } catch (const cv::Exception& e) {
    return {e.code, e.func, e.err};
  }
  return {};
}

#endif  // VIZMORO_REPORT_HPP
