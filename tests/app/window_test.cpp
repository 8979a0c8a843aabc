// One run with windows on an X display (a virtual one under xvfb-run): the "Result" window
// must show the frames with the teaching rectangle drawn on them.
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "program_runner.hpp"

// Last: Xlib defines macros (None, Bool, Status) that clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using vizmoro_test::CountLines;
using vizmoro_test::MakeClip;
using vizmoro_test::ProgramResult;
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

}  // namespace
