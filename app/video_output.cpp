#include "video_output.hpp"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace vizmoro {

namespace {

// Points file descriptors 1 and 2 at /dev/null while it lives.
class MutedOutput {
 public:
  MutedOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_[0] = ::dup(1);
    saved_[1] = ::dup(2);
    if (saved_[0] >= 0) ::dup2(null, 1);
    if (saved_[1] >= 0) ::dup2(null, 2);
    ::close(null);
  }
  ~MutedOutput() {
    // What the library printed through stdio is still buffered: drop it into /dev/null too.
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd = 1; fd <= 2; ++fd) {
      if (saved_[fd - 1] < 0) continue;
      ::dup2(saved_[fd - 1], fd);
      ::close(saved_[fd - 1]);
    }
  }
  MutedOutput(const MutedOutput&) = delete;
  MutedOutput& operator=(const MutedOutput&) = delete;

 private:
  int saved_[2] = {-1, -1};
};

}  // namespace

int OpenResultWriter(cv::VideoWriter& writer, const std::string& fileName, double fps,
                     cv::Size size) {
  const int cinepak = cv::VideoWriter::fourcc('c', 'v', 'i', 'd');
  {
    MutedOutput muted;
    if (writer.open(fileName, cinepak, fps, size, true)) return cinepak;
    if (writer.open(fileName, -1, fps, size, true)) return -1;
  }
  const int mjpeg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
  if (writer.open(fileName, mjpeg, fps, size, true)) return mjpeg;
  return 0;
}

}  // namespace vizmoro
