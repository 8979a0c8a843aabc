// Runs with windows on an X display (a virtual one under xvfb-run): the "Result" window must show
// the frames with the teaching rectangle drawn on them, and vizmoro-cli's box picker must answer
// the mouse and the keys.
#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "program_runner.hpp"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using vizmoro_test::CliPath;
using vizmoro_test::CountLines;
using vizmoro_test::MakeClip;
using vizmoro_test::ProgramResult;
using vizmoro_test::ReadFile;
using vizmoro_test::RunningProgram;
using vizmoro_test::ScratchDir;
using vizmoro_test::VizmoroPath;

// The viewable window called `name` below `window`, if any.
std::optional<Window> FindWindow(Display* display, Window window, const std::string& name) {
  char* windowName = nullptr;
  if (XFetchName(display, window, &windowName) && windowName) {
    const bool match = name == windowName;
    XFree(windowName);
    XWindowAttributes attributes;
    if (match && XGetWindowAttributes(display, window, &attributes) &&
        attributes.map_state == IsViewable)
      return window;
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return std::nullopt;
  std::optional<Window> found;
  for (unsigned i = 0; i < count && !found; ++i) found = FindWindow(display, children[i], name);
  if (children) XFree(children);
  return found;
}

// What the window shows, as BGR pixels.
cv::Mat Screenshot(Display* display, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return cv::Mat();
  XImage* image =
      XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  if (!image) return cv::Mat();
  cv::Mat pixels(attributes.height, attributes.width, CV_8UC3);
  auto channel = [](unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    return static_cast<int>(((pixel & mask) >> shift) * 255 / (mask >> shift));
  };
  for (int y = 0; y < attributes.height; ++y)
    for (int x = 0; x < attributes.width; ++x) {
      const unsigned long p = XGetPixel(image, x, y);
      pixels.at<cv::Vec3b>(y, x) = cv::Vec3b(
          channel(p, image->blue_mask), channel(p, image->green_mask), channel(p, image->red_mask));
    }
  XDestroyImage(image);
  return pixels;
}

// The bounding box of the teaching rectangle's red, or an empty box.
cv::Rect RedBox(const cv::Mat& pixels) {
  cv::Mat red;
  cv::inRange(pixels, cv::Scalar(0, 0, 200), cv::Scalar(60, 60, 255), red);
  return cv::countNonZero(red) > 200 ? cv::boundingRect(red) : cv::Rect();
}

TEST(WindowTest, ResultWindowShowsTheTeachingRectangle) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) GTEST_SKIP() << "no X display; run under xvfb-run";

  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 403);
  RunningProgram running(VizmoroPath(), {"clip.avi"}, dir.path(), true);

  cv::Mat shot;
  cv::Rect box;
  bool maskShown = false;
  const Window root = DefaultRootWindow(display);
  while (running.Running() && box.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::optional<Window> mask = FindWindow(display, root, "Mask");
    const std::optional<Window> result = FindWindow(display, root, "Result");
    if (!mask || !result) continue;
    if (!maskShown) {
      // Without a window manager both windows open at the same place: move the mask aside and
      // give the result room, so the frames show unobscured.
      XMoveWindow(display, *mask, 900, 0);
      XMoveResizeWindow(display, *result, 0, 0, 800, 700);
      XSync(display, False);
      maskShown = true;
      continue;
    }
    shot = Screenshot(display, *result);
    box = RedBox(shot);
  }
  const ProgramResult run = running.Wait();
  XCloseDisplay(display);

  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(CountLines(run.out, "Hitting! "), 400);
  EXPECT_TRUE(maskShown) << "no Mask window";
  ASSERT_FALSE(box.empty()) << "no teaching rectangle seen in the Result window";
  // A square (the window may scale the frame) round the orange object, on the blue
  // background.
  EXPECT_NEAR(box.width, box.height, 4);
  EXPECT_GT(box.width, 100);
  const cv::Vec3b inside = shot.at<cv::Vec3b>(box.y + box.height / 4, box.x + box.width / 8);
  const cv::Vec3b outside = shot.at<cv::Vec3b>(box.y + box.height / 2, box.x - box.width / 2);
  EXPECT_TRUE(inside[2] > 150 && inside[2] > inside[1] && inside[1] > inside[0]) << inside;
  EXPECT_TRUE(outside[0] > outside[2] && outside[0] > 80) << outside;
}

// Input as if from the user, through the XTest extension (its library is loaded when there is
// one: its header need not be installed).
class FakeInput {
 public:
  explicit FakeInput(Display* display) : display_(display) {
    int opcode, event, error;
    library_ = XQueryExtension(display, "XTEST", &opcode, &event, &error)
                   ? dlopen("libXtst.so.6", RTLD_NOW)
                   : nullptr;
    if (!library_) return;
    motion_ = reinterpret_cast<Motion>(dlsym(library_, "XTestFakeMotionEvent"));
    button_ = reinterpret_cast<Press>(dlsym(library_, "XTestFakeButtonEvent"));
    key_ = reinterpret_cast<Press>(dlsym(library_, "XTestFakeKeyEvent"));
  }
  ~FakeInput() {
    if (library_) dlclose(library_);
  }
  bool Works() const { return motion_ && button_ && key_; }

  void Move(int x, int y) { Sent(motion_(display_, -1, x, y, 0)); }
  void Button(bool down) { Sent(button_(display_, 1, down, 0)); }
  // A key by its X name ("n", "Return").
  void Key(const char* name) {
    const unsigned code = XKeysymToKeycode(display_, XStringToKeysym(name));
    key_(display_, code, True, 0);
    Sent(key_(display_, code, False, 0));
  }

 private:
  using Motion = int (*)(Display*, int, int, int, unsigned long);
  using Press = int (*)(Display*, unsigned, int, unsigned long);
  // Lets the program see one event before the next comes.
  void Sent(int) {
    XSync(display_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }

  Display* display_;
  void* library_ = nullptr;
  Motion motion_ = nullptr;
  Press button_ = nullptr, key_ = nullptr;
};

// vizmoro-cli teach --select: the picker steps to another frame, shows the box being drawn and
// after, and gives it as an argument on standard error, with nothing on standard output; c
// cancels.
TEST(WindowTest, CliPickerDrawsTheBoxWithTheMouse) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) GTEST_SKIP() << "no X display; run under xvfb-run";
  FakeInput input(display);
  if (!input.Works()) {
    XCloseDisplay(display);
    GTEST_SKIP() << "no XTest extension to move the mouse with";
  }
  ScratchDir dir;
  MakeClip(dir.path(), "multi.avi", 40, {"--scene", "multi"});
  const Window root = DefaultRootWindow(display);
  // The picker's window, once it is shown, and where its frame starts on the screen.
  auto picker = [&](RunningProgram& running, cv::Point& origin) {
    std::optional<Window> window;
    while (running.Running() && !window) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      window = FindWindow(display, root, "vizmoro-cli: draw a box");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // its first frame drawn
    Window child;
    if (window) XTranslateCoordinates(display, *window, root, 0, 0, &origin.x, &origin.y, &child);
    return window;
  };

  RunningProgram drawn(
      CliPath(),
      {"teach", "multi.avi", "-o", "1:orange cup", "--select", "--select-frame", "5", "-q"},
      dir.path(), true);
  cv::Point at;
  std::optional<Window> window = picker(drawn, at);
  ASSERT_TRUE(window) << "no picker window";
  // What the window shows once `shown` holds of it (the program may be slow to draw it), or
  // after ten seconds.
  auto waitUntil = [&](const std::function<bool(const cv::Mat&)>& shown) {
    cv::Mat shot;
    for (int i = 0; i < 100 && drawn.Running(); ++i) {
      shot = Screenshot(display, *window);
      if (shot.rows > 220 && shown(shot)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return shot;
  };
  // Each step, once the instructions show the frame before it: keys that come together may be
  // read as one.
  const cv::Rect instructions(0, 0, 300, 60);
  for (const char* key : {"n", "bracketright", "p"}) {
    const cv::Mat before = Screenshot(display, *window);
    input.Key(key);
    waitUntil([&](const cv::Mat& shot) {
      return cv::norm(shot(instructions), before(instructions), cv::NORM_INF) > 0;
    });
  }
  // Object 1 at 40,60,160,160 stays where it is for the clip's first 30 frames. Its box is
  // yellow while it grows, green once drawn.
  auto edgeIs = [](const cv::Vec3b& colour) {
    return [colour](const cv::Mat& shot) { return shot.at<cv::Vec3b>(140, 40) == colour; };
  };
  input.Move(at.x + 40, at.y + 60);
  input.Button(true);
  input.Move(at.x + 120, at.y + 140);
  input.Move(at.x + 200, at.y + 220);
  EXPECT_TRUE(edgeIs({0, 255, 255})(waitUntil(edgeIs({0, 255, 255})))) << "while it is drawn";
  input.Button(false);
  EXPECT_TRUE(edgeIs({0, 255, 0})(waitUntil(edgeIs({0, 255, 0})))) << "once drawn";
  input.Key("Return");
  const ProgramResult run = drawn.Wait();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "") << "nothing but results on standard output";
  EXPECT_NE(run.err.find("\n--object '1:orange cup:40,60,160,160@15'\n"), std::string::npos)
      << run.err;
  EXPECT_EQ(ReadFile(dir / "am.dat.names"), "1\torange cup\t160\t160\n");
  RunningProgram cancelled(CliPath(), {"teach", "multi.avi", "-o", "2:pot", "--select"}, dir.path(),
                           true);
  ASSERT_TRUE(picker(cancelled, at)) << "no picker window";
  input.Key("c");
  const ProgramResult cancel = cancelled.Wait();
  XCloseDisplay(display);
  EXPECT_EQ(cancel.exitCode, 1);
  EXPECT_EQ(cancel.out, "");
  EXPECT_EQ(cancel.err.substr(cancel.err.find("vizmoro-cli:")),
            "vizmoro-cli: no box was drawn for object 2\n");
}

}  // namespace
