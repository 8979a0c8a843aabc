#include "picker.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <csignal>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "display.hpp"
#include "memory_loading.hpp"
#include "process_setup.hpp"

namespace vizmoro_cli {

namespace {

constexpr char kWindow[] = "vizmoro-cli: draw a box";

std::string RangeText(const FrameRange& range) {
  return std::to_string(range.first) +
         (range.last == range.first ? "" : "-" + std::to_string(range.last));
}

bool Browsable(const std::string& video) {
  struct stat st;
  return IsFile(video, st) && S_ISREG(st.st_mode);
}

// The picker and the frame it shows, as the window's mouse callback reaches them.
struct Shown {
  Picker* picker;
  cv::Mat frame;
  static void OnMouse(int event, int x, int y, int, void* user) {
    Shown& shown = *static_cast<Shown*>(user);
    shown.picker->Mouse(event, x, y, shown.frame.size());
  }
};

}  // namespace

std::string ObjectArgument(const ObjectSpec& object, bool withRange) {
  const cv::Rect& b = object.box;
  std::string text = std::to_string(object.id) + ":" + object.name + ":" + std::to_string(b.x) +
                     "," + std::to_string(b.y) + "," + std::to_string(b.width) + "," +
                     std::to_string(b.height);
  return withRange ? text + "@" + RangeText(object.range) : text;
}

std::string ShellWord(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string("@%+=:,./-_").find(c) != std::string::npos;
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void Picker::Mouse(int event, int x, int y, cv::Size size) {
  const cv::Point at(std::clamp(x, 0, size.width), std::clamp(y, 0, size.height));
  if (event == cv::EVENT_LBUTTONDOWN) {
    dragging_ = true;
    start_ = at;
    box_ = cv::Rect();
  } else if (dragging_ && (event == cv::EVENT_MOUSEMOVE || event == cv::EVENT_LBUTTONUP)) {
    box_ = cv::Rect(start_, at);
    dragging_ = event != cv::EVENT_LBUTTONUP;
  }
}

Picker::Answer Picker::Key(int key) {
  // Keys outside Latin-1 come as X key symbols, 0xff00 and above (Return as 0xff0d).
  int step = 0;
  switch (key) {
    case 0xff53:  // Right
      step = 1;
      break;
    case 0xff51:  // Left
      step = -1;
      break;
    case 0xff56:  // Page Down
      step = 10;
      break;
    case 0xff55:  // Page Up
      step = -10;
      break;
    case 0xff0d:  // Return
    case 0xff8d:  // Enter of the keypad
      return Answer::kAccept;
    case 0xff1b:  // Escape
      return Answer::kCancel;
    default:
      switch (key) {
        case '\r':
        case '\n':
        case ' ':
          return Answer::kAccept;
        case 'c':
        case 27:
          return Answer::kCancel;
        case 'n':
        case '.':
          step = 1;
          break;
        case 'p':
        case ',':
          step = -1;
          break;
        // Shift+N and Shift+P reach the program as N and P only with some window libraries.
        case ']':
        case 'N':
          step = 10;
          break;
        case '[':
        case 'P':
          step = -10;
          break;
        default:
          return Answer::kNone;
      }
  }
  const int to = static_cast<int>(std::clamp<long long>(0LL + frame_ + step, 0, INT32_MAX));
  if (!canStep_ || to == frame_) return Answer::kNone;
  frame_ = to;
  return Answer::kStep;
}

cv::Mat Picker::Render(const cv::Mat& frame) const {
  cv::Mat shown = frame.clone();
  if (!box_.empty())
    cv::rectangle(shown, box_, dragging_ ? cv::Scalar(0, 255, 255) : cv::Scalar(0, 255, 0), 2);
  std::string where = "frame " + std::to_string(frame_);
  if (!box_.empty())
    where += ", box " + std::to_string(box_.x) + "," + std::to_string(box_.y) + "," +
             std::to_string(box_.width) + "," + std::to_string(box_.height);
  const std::string lines[] = {
      "drag a box around " + what_,
      std::string("Enter/Space accept, c cancel") + (canStep_ ? ", n/p step a frame, ]/[ ten" : ""),
      where};
  // The lines fit the frame's width, over a darkened band.
  const int font = cv::FONT_HERSHEY_SIMPLEX;
  double scale = 0.5;
  int baseline = 0, widest = 1;
  for (const std::string& line : lines)
    widest = std::max(widest, cv::getTextSize(line, font, scale, 1, &baseline).width);
  scale = std::min(scale, scale * (shown.cols - 8) / widest);
  const int step = std::max(8, static_cast<int>(36 * scale));
  const cv::Rect band(0, 0, shown.cols, std::min(shown.rows, step * 3 + 6));
  shown(band) *= 0.35;
  for (int i = 0; i < 3; ++i)
    cv::putText(shown, lines[i], cv::Point(4, step * (i + 1)), font, scale,
                cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
  return shown;
}

bool FrameBrowser::Read(int index, cv::Mat& frame) {
  for (const auto& [at, kept] : kept_)
    if (at == index) {
      frame = kept;
      return true;
    }
  if (count_ >= 0 && index >= count_) return false;
  if (index < next_ || !capture_.isOpened()) {
    capture_.release();
    kept_.clear();
    next_ = 0;
    if (!capture_.open(video_)) return false;
  }
  while (next_ <= index) {
    cv::Mat read;
    if (!capture_.read(read) || read.empty()) {
      count_ = next_;
      return false;
    }
    kept_.emplace_back(next_++, read);
    if (kept_.size() > kKept) kept_.pop_front();
  }
  frame = kept_.back().second;
  return true;
}

void PickBox(const Arguments& a, const cv::Mat& first, ObjectSpec& object, std::FILE* messages) {
  const std::string id = std::to_string(object.id);
  const bool chosen = a.selectFrame >= 0;
  const int wanted = chosen ? a.selectFrame : object.range.first;
  FrameBrowser browser(a.video);
  const bool browsable = Browsable(a.video);
  if (!browsable && chosen && wanted > 0)
    throw Failure{kExitUsage,
                  "--select-frame needs a video file: " + a.video + " can be read only once"};
  cv::Mat frame = first;
  int at = 0;
  auto show = [&](int index) {
    if (!browsable) return index == 0;
    cv::Mat read;
    if (!browser.Read(index, read)) return false;
    frame = read;
    if (a.flip) {  // into a frame of its own: the browser keeps what it read
      frame = cv::Mat();
      cv::flip(read, frame, 0);
    }
    at = index;
    return true;
  };
  if (browsable && !show(wanted)) {
    const int count = browser.Count();
    throw Failure{kExitInput, "cannot draw the box of object " + id + " on frame " +
                                  std::to_string(wanted) + ": " + a.video +
                                  (count >= 0 ? " has " + std::to_string(count) + " frames"
                                              : " cannot be read")};
  }
  std::string note;
  if (!vizmoro::WindowsAvailableHere(&note))
    throw Failure{kExitUsage, "--select needs a display to draw boxes on"};

  std::fprintf(messages, "Draw the box of object %d (%s), then press Enter or Space.\n", object.id,
               object.name.c_str());
  Picker picker(id + " " + object.name, at, browsable);
  Shown shown{&picker, frame};
  cv::namedWindow(kWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
  cv::setMouseCallback(kWindow, Shown::OnMouse, &shown);
  Picker::Answer answer = Picker::Answer::kNone;
  // A stop request (Ctrl+C) cancels, as c does.
  while (answer != Picker::Answer::kAccept && answer != Picker::Answer::kCancel &&
         !vizmoro::stopRequested) {
    cv::imshow(kWindow, picker.Render(shown.frame));
    answer = picker.Key(cv::waitKeyEx(30));
    if (answer == Picker::Answer::kStep) {
      if (show(picker.Frame()))
        shown.frame = frame;
      else
        picker.BackTo(at);  // past the end: the frame shown stays
    }
  }
  cv::setMouseCallback(kWindow, nullptr, nullptr);
  cv::destroyWindow(kWindow);
  if (answer != Picker::Answer::kAccept || picker.Box().empty())
    throw Failure{kExitUsage, "no box was drawn for object " + id};

  object.box = picker.Box();
  // The box belongs to the frame it was drawn on, unless the object's frames were given.
  const bool given = object.hasRange || a.hasFrames;
  if (!given) object.range = FrameRange{at, at};
  std::fprintf(messages, "--object %s\n",
               ShellWord(ObjectArgument(object, object.hasRange || (!given && at > 0))).c_str());
}

}  // namespace vizmoro_cli
