// The box picker of --select: a window that shows a frame of the video, steps through the
// frames on keys, and lets the user drag a box around an object.
#ifndef VIZMORO_CLI_PICKER_HPP
#define VIZMORO_CLI_PICKER_HPP

#include <cstdio>
#include <deque>
#include <string>
#include <utility>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "arguments.hpp"

namespace vizmoro_cli {

// "ID:NAME:X,Y,W,H", with "@A" or "@A-B" after it when `withRange`: the --object argument that
// gives this object again.
std::string ObjectArgument(const ObjectSpec& object, bool withRange);

// `text` as one word of a POSIX shell: as it is when no character of it is special there, else
// in single quotes.
std::string ShellWord(const std::string& text);

// What the picker shows and how it answers the mouse and the keys, apart from its window.
class Picker {
 public:
  enum class Answer { kNone, kStep, kAccept, kCancel };

  // `what` names the object in the instructions ("1 cup"); `canStep` says whether other frames
  // than `frame` can be shown.
  Picker(std::string what, int frame, bool canStep)
      : what_(std::move(what)), frame_(frame), canStep_(canStep) {}

  // A mouse event (cv::EVENT_*) at x, y in the pixels of a frame of `size`.
  void Mouse(int event, int x, int y, cv::Size size);
  // A key as cv::waitKeyEx gives it: n, '.' or Right shows the next frame, p, ',' or Left the
  // one before, ']' or Page Down and '[' or Page Up step ten frames (kStep: Frame() changed);
  // Enter or Space accepts the box, c or Esc cancels.
  Answer Key(int key);

  int Frame() const { return frame_; }
  // Back to a frame that can be shown, after a step past the video's end.
  void BackTo(int frame) { frame_ = frame; }
  // The box drawn so far, within the frame; empty before any.
  cv::Rect Box() const { return box_; }

  // The frame as the window shows it: the instructions over its top, the box drawn on it.
  cv::Mat Render(const cv::Mat& frame) const;

 private:
  std::string what_;
  int frame_;
  bool canStep_;
  bool dragging_ = false;
  cv::Point start_;
  cv::Rect box_;
};

// The frames of a video file by their index from 0, read in order from a capture of its own.
// The last frames read are kept, so that stepping back a few frames reads nothing again; further
// back, the file is read again from its start, which keeps every index exact.
class FrameBrowser {
 public:
  explicit FrameBrowser(std::string video) : video_(std::move(video)) {}
  // False when the video cannot be opened or ends before frame `index`.
  bool Read(int index, cv::Mat& frame);
  // The frames the video has, once a read went past its end; -1 before.
  int Count() const { return count_; }

 private:
  static constexpr size_t kKept = 32;
  std::string video_;
  cv::VideoCapture capture_;
  int next_ = 0;  // the index of the frame the capture reads next
  int count_ = -1;
  std::deque<std::pair<int, cv::Mat>> kept_;
};

// Lets the user draw the box of `object` with the mouse, and puts it there. The window shows
// frame --select-frame of the video, or the object's first frame; a video that cannot be read
// again (a camera, a stream) shows `first`, the first frame as the run read it. An object
// without frames of its own (no @A-B, no --frames) is taught on the frame its box was drawn on.
// The --object argument that gives the same box goes to `messages`. Throws Failure.
void PickBox(const Arguments& a, const cv::Mat& first, ObjectSpec& object, std::FILE* messages);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_PICKER_HPP
