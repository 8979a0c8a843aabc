// The events of the engine's search and tracking calls, recorded for the suites to read.
#ifndef VIZMORO_TESTS_EVENT_RECORDER_HPP
#define VIZMORO_TESTS_EVENT_RECORDER_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vizmoro/associative_memory.hpp"

namespace vizmoro_test {

struct Event {
  int code;
  uint32_t index;      // 0 where the event passes none (codes 0 and 6)
  RcgAMResult result;  // all zero where the event passes none
};

// Hand `callback` to a call with the recorder as its user data; the events add up across calls.
struct EventRecorder {
  std::vector<Event> events;

  static void callback(int code, uint32_t* index, RcgAMResult* result, void* user) {
    static_cast<EventRecorder*>(user)->events.push_back(
        {code, index ? *index : 0u, result ? *result : RcgAMResult{}});
  }
  std::vector<Event> ofCode(int code) const {
    std::vector<Event> matching;
    for (const Event& e : events)
      if (e.code == code) matching.push_back(e);
    return matching;
  }
  size_t count(int code) const { return ofCode(code).size(); }
  // The codes in order, leaving out the reads of single windows (codes 1 and 2) unless `reads`.
  std::vector<int> codes(bool reads = false) const {
    std::vector<int> c;
    for (const Event& e : events)
      if (reads || (e.code != RCG_AM_NO_MATCH && e.code != RCG_AM_MATCH)) c.push_back(e.code);
    return c;
  }
  // The most similar track reported for `index`, or null; the first of equals.
  const Event* bestTrack(uint32_t index) const {
    const Event* best = nullptr;
    for (const Event& e : events)
      if (e.code == RCG_AM_TRACK && e.index == index &&
          (!best || e.result.similarity > best->result.similarity))
        best = &e;
    return best;
  }
};

}  // namespace vizmoro_test

#endif  // VIZMORO_TESTS_EVENT_RECORDER_HPP
