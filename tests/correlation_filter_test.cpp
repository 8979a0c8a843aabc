// The correlation filter: where an object went, and how its size changed.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "correlation_filter.hpp"
#include "test_images.hpp"

namespace {

// A textured scene seen again moved by a few pixels (not whole ones) and grown a little: the
// filter finds the object's new centre within a pixel and sees it grow, for a small and a large
// box, and finds it unmoved and unchanged in the frame it learned; its peak stays sharp where the
// object moved, and loses its sharpness where the object is gone.
TEST(CorrelationFilter, FindsWhereTheObjectMovedAndHowItGrew) {
  const cv::Mat scene = texturedImage(cv::Size(640, 480), 11);
  for (const cv::Size2d size : {cv::Size2d(24, 40), cv::Size2d(160, 120)}) {
    const cv::Point2d centre(300, 240);
    vizmoro::detail::CorrelationFilter filter;
    ASSERT_FALSE(filter.Started());
    filter.Start(scene, centre, size);
    ASSERT_TRUE(filter.Started());

    const auto still = filter.Find(scene, centre, size);
    EXPECT_NEAR(still.centre.x, centre.x, 0.5);
    EXPECT_NEAR(still.centre.y, centre.y, 0.5);
    EXPECT_GT(still.peak, 0.3);

    // The scene grown 1.04 times about the object's centre and moved by (4.5, -3.25).
    const double grow = 1.04;
    const cv::Point2d moved = centre + cv::Point2d(4.5, -3.25);
    const cv::Matx23d warp(grow, 0, moved.x - grow * centre.x, 0, grow, moved.y - grow * centre.y);
    cv::Mat next;
    cv::warpAffine(scene, next, warp, scene.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    const auto found = filter.Find(next, centre, size);
    EXPECT_NEAR(found.centre.x, moved.x, 1.0) << size;
    EXPECT_NEAR(found.centre.y, moved.y, 1.0) << size;
    EXPECT_GT(found.sharpness, 0.5 * still.sharpness) << size;
    // Another texture where the object was.
    cv::Mat gone = next.clone();
    const cv::Rect box(cv::Point(moved - cv::Point2d(size) / 2), cv::Size(size));
    texturedImage(scene.size(), 12)(box).copyTo(gone(box));
    EXPECT_LT(filter.Find(gone, centre, size).sharpness, 0.4 * still.sharpness) << size;
    EXPECT_NEAR(filter.Scale(scene, centre, size), 1.0, 0.01) << size;
    // A sudden change is read in part at once, the rest on the next frames.
    const double grown = filter.Scale(next, moved, size);
    EXPECT_GT(grown, 1.01) << size;
    EXPECT_LT(grown, grow + 0.01) << size;
  }
}

// Two flat discs of one grey level, red and green, over a grey texture: given the colour, the
// filter taught the red one finds it beside the green one, which the grey alone cannot tell from
// it.
TEST(CorrelationFilter, TellsAnObjectByItsColour) {
  const cv::Scalar red(60, 60, 200), green(60, 131, 60);  // BGR, both grey level 102
  cv::Mat texture;
  cv::cvtColor(texturedImage(cv::Size(640, 480), 5) / 2 + 64, texture, cv::COLOR_GRAY2BGR);
  const cv::Point2d centre(300, 240);
  const cv::Size2d size(40, 40);
  auto draw = [&](cv::Point2d redAt, cv::Point2d greenAt, cv::Mat& colour, cv::Mat& grey) {
    colour = texture.clone();
    cv::circle(colour, redAt, 18, red, cv::FILLED);
    if (greenAt.x > 0) cv::circle(colour, greenAt, 18, green, cv::FILLED);
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  };
  cv::Mat colour, grey;
  draw(centre, {-1, -1}, colour, grey);
  vizmoro::detail::CorrelationFilter filter;
  filter.Start(grey, centre, size, colour, 1.0 / 64);
  const cv::Point2d step(7, 0);
  cv::Mat swappedColour, swappedGrey;
  draw(centre + step, centre - step, colour, grey);
  draw(centre - step, centre + step, swappedColour, swappedGrey);
  ASSERT_EQ(cv::norm(grey, swappedGrey, cv::NORM_INF), 0);  // the grey tells them apart nowhere
  for (const bool swapped : {false, true}) {
    const auto found = swapped ? filter.Find(swappedGrey, centre, size, swappedColour)
                               : filter.Find(grey, centre, size, colour);
    EXPECT_NEAR(found.centre.x, centre.x + (swapped ? -step.x : step.x), 2.5) << swapped;
    EXPECT_NEAR(found.centre.y, centre.y, 2.5) << swapped;
  }
}

}  // namespace
