#include "progress.hpp"

namespace vizmoro_cli {

Progress::Progress(std::FILE* out, bool shown, double frames)
    : out_(out), shown_(shown), frames_(frames > 0 ? frames : 0), start_(Clock::now()) {}

void Progress::Frame(int done) {
  if (!shown_) return;
  const auto now = Clock::now();
  if (now - last_ < std::chrono::milliseconds(250)) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? done / seconds : 0;
  std::fprintf(out_, "\r  frame %d", done);
  if (frames_ > 0) std::fprintf(out_, " / %.0f", frames_);
  std::fprintf(out_, "   %.1f fps", rate);
  if (frames_ > done && rate > 0) {
    const int left = static_cast<int>((frames_ - done) / rate);
    std::fprintf(out_, "   %d:%02d left", left / 60, left % 60);
  }
  std::fprintf(out_, "     ");
  std::fflush(out_);
  drawn_ = true;
}

void Progress::Done() {
  if (drawn_) std::fprintf(out_, "\n");
}

double Progress::Seconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

}  // namespace vizmoro_cli
