// The annotated output video.
#ifndef VIZMORO_RUNTIME_VIDEO_OUTPUT_HPP
#define VIZMORO_RUNTIME_VIDEO_OUTPUT_HPP

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace vizmoro {

// Opens `writer` for colour frames of `size`, trying Cinepak, then the library's choice (-1),
// then Motion JPEG. The first two are not available with every video library; their attempts
// run with standard output and standard error muted, because a refusal there is expected and
// the library lists every codec it knows on standard output. Returns the four-character code
// that opened, or 0 when none did; then no empty file is left where there was none.
int OpenResultWriter(cv::VideoWriter& writer, const std::string& fileName, double fps,
                     cv::Size size);

// A video being written, watched for writes that fail. The video library does not report them:
// a file that has stopped growing on a file system without space has failed.
class WatchedVideo {
 public:
  // Opens as OpenResultWriter does; false when no writer opened.
  bool Open(const std::string& fileName, double fps, cv::Size size);
  // Opens with the coder the name suggests: Motion JPEG for ".avi", MPEG-4 otherwise, Motion
  // JPEG when that fails. False when no writer opened. Messages name the file `shownName`, when
  // given (the file a temporary one becomes).
  bool OpenForName(const std::string& fileName, double fps, cv::Size size,
                   const std::string& shownName = std::string());
  bool IsOpen() const { return writer_.isOpened(); }
  // Whether writing failed and the file was cut short.
  bool HasFailed() const { return failed_; }
  // Writes a frame. When writing has failed, says so once on `out` and writes no more: the
  // file is cut short.
  void Write(const cv::Mat& frame, std::FILE* out);
  // Finishes the file, and says so on `out` when its end could not be written.
  void Close(std::FILE* out);

 private:
  // Whether the file has stopped growing for lack of space; `reason` says why.
  bool Failed(std::string& reason);
  void Fail(std::FILE* out);

  cv::VideoWriter writer_;
  std::string fileName_, shownName_;
  bool failed_ = false;
  off_t size_ = 0;
  int framesSinceGrowth_ = 0;
};

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_VIDEO_OUTPUT_HPP
