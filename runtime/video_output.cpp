#include "video_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

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

namespace {

// Opens `writer` with the first of `fourccs` that works (a negative entry ends the muted ones
// that come before it); leaves no empty file where there was none when none does.
int OpenFirst(cv::VideoWriter& writer, const std::string& fileName, double fps, cv::Size size,
              std::initializer_list<int> muted, std::initializer_list<int> loud) {
  struct stat st;
  const bool existed = ::lstat(fileName.c_str(), &st) == 0;
  // The library refuses some sizes by throwing, after it created the file.
  auto open = [&](int fourcc) {
    try {
      return writer.open(fileName, fourcc, fps, size, true);
    } catch (const cv::Exception&) {
      return false;
    }
  };
  {
    MutedOutput quiet;
    for (int fourcc : muted)
      if (open(fourcc)) return fourcc;
  }
  for (int fourcc : loud)
    if (open(fourcc)) return fourcc;
  // A failed attempt may have created the file before it gave up.
  if (!existed && ::lstat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
    ::unlink(fileName.c_str());
  return 0;
}

const int kMotionJpeg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');

}  // namespace

int OpenResultWriter(cv::VideoWriter& writer, const std::string& fileName, double fps,
                     cv::Size size) {
  return OpenFirst(writer, fileName, fps, size, {cv::VideoWriter::fourcc('c', 'v', 'i', 'd'), -1},
                   {kMotionJpeg});
}

namespace {

// Frames without growth after which a file on a file system without space has failed. The
// library's buffer (32 KB) holds less than that many frames of any size the program writes.
constexpr int kFramesWithoutGrowth = 8;
// Space below which a file system counts as full.
constexpr uint64_t kFullBelow = uint64_t{1} << 20;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool WatchedVideo::Open(const std::string& fileName, double fps, cv::Size size) {
  fileName_ = shownName_ = fileName;
  failed_ = false;
  size_ = 0;
  framesSinceGrowth_ = 0;
  return OpenResultWriter(writer_, fileName, fps, size) != 0;
}

bool WatchedVideo::OpenForName(const std::string& fileName, double fps, cv::Size size,
                               const std::string& shownName) {
  fileName_ = fileName;
  shownName_ = shownName.empty() ? fileName : shownName;
  failed_ = false;
  size_ = 0;
  framesSinceGrowth_ = 0;
  const bool avi = fileName.size() >= 4 && fileName.compare(fileName.size() - 4, 4, ".avi") == 0;
  const int mpeg4 = cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  return (avi ? OpenFirst(writer_, fileName, fps, size, {}, {kMotionJpeg})
              : OpenFirst(writer_, fileName, fps, size, {mpeg4}, {kMotionJpeg})) != 0;
}

bool WatchedVideo::Failed(std::string& reason) {
  struct stat st;
  if (::stat(fileName_.c_str(), &st) != 0) {
    reason = std::strerror(errno);  // removed or renamed under the writer
    return true;
  }
  if (!S_ISREG(st.st_mode)) return false;  // a device or a pipe: nothing to watch
  if (st.st_size > size_) {
    size_ = st.st_size;
    framesSinceGrowth_ = 0;
    return false;
  }
  if (framesSinceGrowth_ < kFramesWithoutGrowth) return false;
  struct statvfs fs;
  if (::statvfs(FolderOf(fileName_).c_str(), &fs) != 0) return false;
  const uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;  // root's reserve
  if (blocks * fs.f_frsize >= kFullBelow) return false;
  reason = std::strerror(ENOSPC);
  return true;
}

void WatchedVideo::Fail(std::FILE* out) {
  std::string reason;
  if (!Failed(reason)) return;
  std::fprintf(out, "Could not write the output video %s: %s; it is cut short.\n",
               shownName_.c_str(), reason.c_str());
  failed_ = true;
  writer_.release();
  struct stat st;  // nothing at all reached it: leave no empty file
  if (::stat(fileName_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
    ::unlink(fileName_.c_str());
}

void WatchedVideo::Write(const cv::Mat& frame, std::FILE* out) {
  if (!writer_.isOpened()) return;
  writer_.write(frame);
  ++framesSinceGrowth_;
  Fail(out);
}

void WatchedVideo::Close(std::FILE* out) {
  if (!writer_.isOpened()) return;
  writer_.release();                          // writes what was buffered and the index
  framesSinceGrowth_ = kFramesWithoutGrowth;  // whatever was left had to reach the file now
  Fail(out);
}

}  // namespace vizmoro
