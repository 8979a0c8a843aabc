#include "result_display.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "console_lines.hpp"
#include "program_runner.hpp"

namespace {

using vizmoro::ResultDisplay;
using vizmoro::ShowRecognitionResult;
using vizmoro::TrackTrail;

const cv::Vec3b kBlack(0, 0, 0);
const cv::Vec3b kBlue(255, 0, 0);
const cv::Vec3b kYellow(0, 255, 255);
const cv::Vec3b kCyan(255, 255, 0);
const cv::Vec3b kGreen(0, 255, 0);

using vizmoro_test::CapturedFile;

class ResultDisplayTest : public testing::Test {
 protected:
  ResultDisplayTest() : image_(480, 640, CV_8UC3, cv::Scalar::all(0)) {
    display_.image = &image_;
    display_.out = out_.get();
  }

  void Report(int code, uint32_t object, cv::Rect rect, double similarity = 0.5,
              std::unique_ptr<AMUserBlock>* slot = nullptr, uint32_t bases = 0) {
    RcgAMResult result{rect, similarity, bases, slot};
    ShowRecognitionResult(code, &object, &result, &display_);
  }
  void Pass() {
    ShowRecognitionResult(RCG_AM_BEGIN, nullptr, nullptr, &display_);
    ShowRecognitionResult(RCG_AM_END, nullptr, nullptr, &display_);
  }
  int Count(const cv::Vec3b& colour, cv::Rect area = cv::Rect(0, 0, 640, 480)) const {
    int n = 0;
    const cv::Mat part = image_(area);
    for (auto it = part.begin<cv::Vec3b>(); it != part.end<cv::Vec3b>(); ++it) n += *it == colour;
    return n;
  }

  cv::Mat image_;
  CapturedFile out_;
  ResultDisplay display_;
};

TEST_F(ResultDisplayTest, EachCodePrintsItsLineAndDrawsItsBox) {
  const cv::Vec3b kMatch(255, 128, 0), kRelearn(255, 255, 0);
  struct Case {
    int code;
    uint32_t object;
    double similarity;
    const char* line;
    cv::Vec3b corner;  // the box's top-left corner
    cv::Vec3b inner;   // one pixel inside it: black for a box of thickness 1
  } cases[] = {
      {RCG_AM_NO_MATCH, 1, 0.5, "", kBlack, kBlack},
      {RCG_AM_MATCH, 1, 0.5, "R   Obj: [Hand-open] ...... Similarity:  0.5000\n", kMatch, kBlack},
      {RCG_AM_OBJECT, 3, 0.5, "G-T Obj: [Book] ...... Similarity:  0.5000\n", kBlue, kBlue},
      {RCG_AM_TRACK, 6, 0.5, "G-T Obj: [Toy \"Dog\"] ...... Similarity:  0.5000\n", kBlue, kBlue},
      {RCG_AM_RELEARN, 10, 0.5, "L   Obj: [Test area] ...... Similarity:  0.5000, Bases: 42\n",
       kRelearn, kRelearn},
      {RCG_AM_MATCH, 2, 0.123456, "R   Obj: [Hand-close] ...... Similarity:  0.1235\n", kMatch,
       kBlack},
      {RCG_AM_MATCH, 11, 1.0, "R   Obj: [Object 11] ...... Similarity:  1.0000\n", kMatch, kBlack},
      {RCG_AM_MATCH, 0, 0.0, "R   Obj: [Object 0] ...... Similarity:  0.0000\n", kMatch, kBlack},
      {7, 1, 0.5, "", kBlack, kBlack},
      {-1, 1, 0.5, "", kBlack, kBlack},
  };
  for (const Case& c : cases) {
    CapturedFile out;
    display_.out = out.get();
    image_.setTo(cv::Scalar::all(0));
    Report(c.code, c.object, cv::Rect(10, 10, 50, 50), c.similarity, nullptr, 42);
    EXPECT_EQ(out.Text(), c.line) << "code " << c.code;
    EXPECT_EQ(image_.at<cv::Vec3b>(10, 10), c.corner) << "code " << c.code;
    EXPECT_EQ(image_.at<cv::Vec3b>(11, 30), c.inner) << "code " << c.code;
  }
}

TEST_F(ResultDisplayTest, TrackedBoxAndLabelPositions) {
  std::unique_ptr<AMUserBlock> slot;
  Report(RCG_AM_TRACK, 1, cv::Rect(100, 50, 41, 40), 0.5, &slot);
  // Box from (100, 50) to (141, 90), 2 pixels thick.
  for (cv::Point p : {cv::Point(100, 50), cv::Point(141, 50), cv::Point(100, 90),
                      cv::Point(141, 90), cv::Point(120, 50), cv::Point(141, 70)})
    EXPECT_EQ(image_.at<cv::Vec3b>(p), kBlue) << p;
  EXPECT_EQ(image_.at<cv::Vec3b>(70, 120), kBlack);

  // The label is the text drawn with its origin at (110, 114).
  cv::Mat expected(image_.size(), CV_8UC3, cv::Scalar::all(0));
  cv::putText(expected, "Hand-open", {110, 114}, cv::FONT_HERSHEY_DUPLEX, 1.0,
              cv::Scalar(0, 255, 255), 2, cv::LINE_8);
  cv::Mat yellow, expectedYellow;
  cv::inRange(image_, cv::Scalar(0, 255, 255), cv::Scalar(0, 255, 255), yellow);
  cv::inRange(expected, cv::Scalar(0, 255, 255), cv::Scalar(0, 255, 255), expectedYellow);
  EXPECT_GT(cv::countNonZero(expectedYellow), 0);
  EXPECT_EQ(cv::boundingRect(yellow), cv::boundingRect(expectedYellow));

  // The first report only attaches the trail.
  auto* trail = dynamic_cast<TrackTrail*>(slot.get());
  ASSERT_NE(trail, nullptr);
  EXPECT_EQ(trail->pointCount, 0);
  EXPECT_EQ(Count(kCyan) + Count(kGreen), 0);
}

TEST_F(ResultDisplayTest, TrailGrowsToAHundredPoints) {
  std::unique_ptr<AMUserBlock> slot;
  Report(RCG_AM_TRACK, 1, cv::Rect(100, 50, 41, 40), 0.5, &slot);
  auto* trail = dynamic_cast<TrackTrail*>(slot.get());
  ASSERT_NE(trail, nullptr);

  Report(RCG_AM_TRACK, 1, cv::Rect(100, 50, 41, 40), 0.5, &slot);
  EXPECT_EQ(trail->pointCount, 1);
  EXPECT_EQ(trail->points[99], cv::Point(120, 70));
  Report(RCG_AM_TRACK, 1, cv::Rect(300, 50, 41, 40), 0.5, &slot);
  EXPECT_EQ(trail->pointCount, 2);
  EXPECT_EQ(Count(kCyan) + Count(kGreen), 0) << "no trail below three points";

  image_.setTo(cv::Scalar::all(0));
  Report(RCG_AM_TRACK, 1, cv::Rect(300, 250, 41, 40), 0.5, &slot);
  EXPECT_EQ(trail->pointCount, 3);
  // Two segments: (120, 70) to (320, 70) to (320, 270), and a circle round the newest point.
  EXPECT_EQ(image_.at<cv::Vec3b>(70, 220), kCyan);
  EXPECT_EQ(image_.at<cv::Vec3b>(170, 320), kCyan);
  EXPECT_EQ(image_.at<cv::Vec3b>(270, 324), kGreen);

  // 97 more reports along a row further down: 100 points, the first one of all dropped.
  for (int i = 0; i < 97; ++i)
    Report(RCG_AM_TRACK, 1, cv::Rect(100 + 4 * i, 380, 41, 40), 0.5, &slot);
  EXPECT_EQ(trail->pointCount, 100);
  EXPECT_EQ(trail->points[0], cv::Point(120, 70));
  image_.setTo(cv::Scalar::all(0));
  Report(RCG_AM_TRACK, 1, cv::Rect(500, 380, 41, 40), 0.5, &slot);
  EXPECT_EQ(trail->pointCount, 100);
  EXPECT_EQ(trail->points[0], cv::Point(320, 70));
  EXPECT_EQ(trail->points[99], cv::Point(520, 400));
  // 99 segments: from (320, 70) on; nothing left of the dropped (120, 70).
  EXPECT_EQ(image_.at<cv::Vec3b>(170, 320), kCyan);
  EXPECT_EQ(Count(kCyan, cv::Rect(100, 60, 150, 20)), 0);
}

TEST_F(ResultDisplayTest, PassWithoutObjectsOnlyDrawsItsTime) {
  Pass();
  EXPECT_EQ(out_.Text(), "");
  EXPECT_GT(Count(kGreen, cv::Rect(0, 0, 200, 30)), 0);
  EXPECT_EQ(Count(kBlack), 640 * 480 - Count(kGreen, cv::Rect(0, 0, 200, 30)));
}

struct PositionCase {
  double milliseconds;
  const char* text;
};

TEST(ConsoleLinesTest, FilmPosition) {
  const PositionCase cases[] = {
      {0.0, "00:00:00.000"},
      {3723004.0, "01:02:03.004"},
      {40.9, "00:00:00.040"},
      {359999999.0, "99:59:59.999"},
      {360000000.0, "100:00:00.000"},
      {-1.0, "1193:02:47.295"},  // a negative position read as unsigned
      {std::nan(""), "00:00:00.000"},
      {1e300, "00:00:00.000"},
  };
  for (const PositionCase& c : cases) {
    CapturedFile out;
    vizmoro::PrintFilmPosition(out.get(), vizmoro::FilmPositionMs(c.milliseconds));
    EXPECT_EQ(out.Text(), std::string("==> film current position: ") + c.text + "\n");
  }
}

TEST(ConsoleLinesTest, HittingLine) {
  CapturedFile out;
  vizmoro::PrintHitting(out.get(), 4, 18446744073709551615ull, 123, 0.5);
  EXPECT_EQ(out.Text(),
            "Hitting! Index = 4, HitCounter = 18446744073709551615, TotalABases = 123, "
            "Similarity = 0.500000\n");
}

TEST(ConsoleLinesTest, LoadReportLayout) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  CapturedFile out;
  vizmoro::PrintLoadReport(out.get(), "am.dat", memory);
  EXPECT_EQ(out.Text(),
            "\n  Load associative bases from file: am.dat\n"
            "Associative bases ......... 1      \n"
            "Associative Levels ........ 0      \n"
            "Current base index ........ 1      \n"
            "Wr/Rd counter ............. 0      \n\n");
}

}  // namespace
