// The progress line of a run on a terminal.
#ifndef VIZMORO_CLI_PROGRESS_HPP
#define VIZMORO_CLI_PROGRESS_HPP

#include <chrono>
#include <cstdio>

namespace vizmoro_cli {

// Frames, rate and time left, rewritten in place at most four times a second.
class Progress {
 public:
  // `frames`: those the run will play, 0 when not known. Nothing is drawn unless `shown`.
  Progress(std::FILE* out, bool shown, double frames);
  void Frame(int done);
  // Ends the line, if one was drawn.
  void Done();
  double Seconds() const;

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* out_;
  bool shown_;
  double frames_;
  Clock::time_point start_, last_;
  bool drawn_ = false;
};

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_PROGRESS_HPP
