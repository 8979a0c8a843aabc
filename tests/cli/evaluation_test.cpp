// Scoring results against truth, reading and writing the files of results, truth and names.
#include "evaluation.hpp"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "json.hpp"
#include "mot.hpp"
#include "names_file.hpp"
#include "program_runner.hpp"

namespace {

using namespace vizmoro_cli;
using vizmoro_test::ReadFile;
using vizmoro_test::ScratchDir;
using vizmoro_test::WriteFile;

Detection D(int frame, int32_t id, double x, double y, double w, double h, double conf = 1.0) {
  return Detection{frame, id, cv::Rect2d(x, y, w, h), conf};
}

TEST(Evaluate, ScoresSuccessAucPrecisionAndReportsWhileAway) {
  const std::vector<Detection> truth = {
      D(1, 1, 0, 0, 10, 10),   D(2, 1, 0, 0, 10, 10), D(3, 1, 0, 0, 10, 10),
      D(4, 1, 0, 0, 10, 10),   D(5, 1, 0, 0, 0, 0),  // out of sight
      D(6, 2, 50, 50, 20, 20),                       // object 1 has no line: away
  };
  const std::vector<Detection> results = {
      D(1, 1, 0, 0, 10, 10),                                     // IoU 1
      D(2, 1, 5, 0, 10, 10, 0.9), D(2, 1, 90, 90, 10, 10, 0.2),  // IoU 1/3; the other has less conf
      D(3, 1, 0, 0, 0, 0),                                       // no size: not seen
      D(4, 1, 100, 100, 10, 10),                                 // IoU 0; frame 3 has none
      D(5, 1, 0, 0, 10, 10),                                     // a report while away
      D(6, 2, 50, 50, 20, 20),    D(6, 9, 1, 1, 1, 1),           // object 9 is not in the truth
  };
  const Evaluation e = Evaluate(results, truth, nullptr);
  ASSERT_EQ(e.objects.size(), 2u);
  const Score& one = e.objects[0];
  EXPECT_EQ(one.id, 1);
  EXPECT_EQ(one.frames, 4);
  EXPECT_EQ(one.success, 1);
  EXPECT_EQ(one.precise, 2) << "centres 0 and 5 pixels apart";
  EXPECT_EQ(one.away, 2);
  EXPECT_EQ(one.awayReports, 1);
  // IoU 1, 1/3, 0, 0: above 0 to 0.30 two frames, above 0.35 to 0.95 one, above 1 none.
  EXPECT_DOUBLE_EQ(one.curve[0], 0.5);
  EXPECT_DOUBLE_EQ(one.curve[6], 0.5);
  EXPECT_DOUBLE_EQ(one.curve[7], 0.25);
  EXPECT_DOUBLE_EQ(one.curve[20], 0.0);
  EXPECT_DOUBLE_EQ(one.auc, (7 * 0.5 + 13 * 0.25) / 21);
  const Score& two = e.objects[1];
  EXPECT_EQ(two.frames, 1);
  EXPECT_EQ(two.away, 5);
  EXPECT_DOUBLE_EQ(two.auc, 20.0 / 21);
  EXPECT_EQ(e.overall.frames, 5);
  EXPECT_EQ(e.overall.success, 2);
  EXPECT_EQ(e.overall.awayReports, 1);

  const FrameRange range{2, 3};
  const Evaluation part = Evaluate(results, truth, &range);
  EXPECT_EQ(part.objects[0].frames, 2);
  EXPECT_EQ(part.objects[0].success, 0);
  EXPECT_EQ(part.objects[1].away, 2);
  EXPECT_NE(FormatTable(e).find("1            4    25.0%  0.321         50.0%  1 / 2\n"),
            std::string::npos)
      << FormatTable(e);
  const Json json = Json::parse(FormatJson(e));
  EXPECT_EQ(json["objects"][1],
            Json::parse(R"({"id": 2, "frames": 1, "success": 1.0, "auc": 0.952381,
      "precision20": 1.0, "away": 5, "reportsWhileAway": 0})"))
      << json;
  EXPECT_EQ(json["overall"]["auc"], 0.447619) << "rates to six decimals";
}

TEST(Evaluate, SuccessIsAboveHalfPrecisionAtMostTwentyPixelsBetweenCentres) {
  const Evaluation e = Evaluate({D(1, 1, 30, 0, 60, 80), D(2, 1, 20, 0, 40, 100)},
                                {D(1, 1, 0, 0, 120, 80), D(2, 1, 0, 0, 40, 100)}, nullptr);
  EXPECT_EQ(e.overall.frames, 2);
  EXPECT_EQ(e.overall.success, 0) << "IoU 0.5 and 1/3";
  EXPECT_EQ(e.overall.precise, 2) << "centres 0 and 20 pixels apart";
}

TEST(Evaluate, BoxesOfNoSizeAreAwayAndFramesFarApartAreCounted) {
  constexpr int kLast = 1000000000;
  std::vector<Detection> truth, results;
  for (int32_t id : {1, 2, 3}) {
    truth.push_back(D(1, id, 50, 50, -10, -10));  // out of sight
    truth.push_back(D(kLast, id, 0, 0, 10, 10));
    results.push_back(D(1, id, 40, 40, 10, 10));
    results.push_back(D(kLast, id, 0, 0, 10, 10));
  }
  const Evaluation e = Evaluate(results, truth, nullptr);
  ASSERT_EQ(e.objects.size(), 3u);
  EXPECT_EQ(e.objects[0].frames, 1);
  EXPECT_EQ(e.objects[0].success, 1);
  EXPECT_EQ(e.objects[0].away, kLast - 1);
  EXPECT_EQ(e.objects[0].awayReports, 1);
  EXPECT_EQ(e.overall.away, 3 * int64_t{kLast - 1});
  const Json overall = Json::parse(FormatJson(e))["overall"];
  EXPECT_EQ(overall["away"], 2999999997);
  EXPECT_EQ(overall["reportsWhileAway"], 3);
}

TEST(Detections, ReadMotOrPlainBoxesAndSayWhereAFileIsWrong) {
  ScratchDir dir;
  WriteFile(dir / "mot.txt", "# a comment\n3,2,1.5,2,30,40,0.8,-1,-1,-1\n\n4,1,0,0,5,5,1\n");
  WriteFile(dir / "plain.txt", "10,20,30,40\r\n11,21,30,40\n");
  WriteFile(dir / "mixed.txt", "10,20,30,40\n1,1,0,0,5,5,1,-1,-1,-1\n");
  WriteFile(dir / "bad.txt", "1,1,x,0,5,5\n");
  std::vector<Detection> d;
  std::string error;
  ASSERT_TRUE(ReadDetections((dir / "mot.txt").string(), d, error)) << error;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].frame, 3);
  EXPECT_EQ(d[0].id, 2);
  EXPECT_EQ(d[0].box, cv::Rect2d(1.5, 2, 30, 40));
  EXPECT_DOUBLE_EQ(d[0].conf, 0.8);
  ASSERT_TRUE(ReadDetections((dir / "plain.txt").string(), d, error)) << error;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[1].frame, 2);
  EXPECT_EQ(d[1].id, 1);
  EXPECT_FALSE(ReadDetections((dir / "mixed.txt").string(), d, error));
  EXPECT_EQ(error,
            (dir / "mixed.txt").string() + ", line 2: neither frame,id,x,y,w,h,... nor x,y,w,h");
  EXPECT_FALSE(ReadDetections((dir / "bad.txt").string(), d, error));
  EXPECT_FALSE(ReadDetections((dir / "missing.txt").string(), d, error));
  EXPECT_EQ(error, (dir / "missing.txt").string() + ": No such file or directory");

  // Other layouts; frames here always count from 1, and a box of no size is out of sight.
  using Boxes = std::vector<std::pair<int, cv::Rect2d>>;  // frame, box of object 1
  const Boxes none;
  const struct Layout {
    const char* text;
    Boxes boxes;
    const char* error;  // after the file's name
  } layouts[] = {
      {"frame,x,y,w,h,visible\n0,204,150,17,50,1\n1,201,149,19,49,0\n",
       {{1, {204, 150, 17, 50}}, {2, {}}},
       nullptr},
      {"# frames from 0\nFrame, X, Y, Width, Height\n\n3, 1, 2, 3, 4\n",
       {{4, {1, 2, 3, 4}}},
       nullptr},
      // A blank or NaN line is a frame out of sight; blank lines at the end are none.
      {"\n10\t20\t30\t40\n\nNaN NaN NaN NaN\n 11  21  30  40\r\n\n\n",
       {{2, {10, 20, 30, 40}}, {4, {}}, {5, {11, 21, 30, 40}}},
       nullptr},
      {"x,y,w,h\n1,2,3\n", none, ", line 2: not the 4 values of the header"},
      {"frame,y,w,h\n", none, ", line 1: a header without x, y, w and h"},
      {"1,1,0,0,5,5\n", none,
       ", line 1: frame,id,x,y,w,h or frame,x,y,w,h,visible? Name the columns in a first line"},
      {"1000000001,1,0,0,5,5,1\n", none,
       ", line 1: the frame is not a whole number from 1 to 1000000000"},
      {"1,1,0,0,5,5,inf\n", none, ", line 1: neither frame,id,x,y,w,h,... nor x,y,w,h"},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.text);
    const std::string path = (dir / "layout.txt").string();
    WriteFile(path, layout.text);
    ASSERT_EQ(ReadDetections(path, d, error), !layout.error) << error;
    if (layout.error) {
      EXPECT_EQ(error, path + layout.error);
      continue;
    }
    Boxes boxes;
    for (const Detection& detection : d) {
      EXPECT_EQ(detection.id, 1);
      boxes.emplace_back(detection.frame, detection.box);
    }
    EXPECT_EQ(boxes, layout.boxes);
  }
  EXPECT_EQ(MotLine(7, 3, {1, 2, 30, 40}, 0.51234), "7,3,1,2,30,40,0.5123,-1,-1,-1\n");
}

TEST(Names, RoundTripAndRefuseBrokenLines) {
  ScratchDir dir;
  const std::string path = (dir / "am.dat.names").string();
  Names names{{3, {"red cup", {30, 40}}}, {12, {"a:b", {220, 220}}}};
  std::string error;
  ASSERT_TRUE(WriteNames(path, names, error)) << error;
  EXPECT_EQ(ReadFile(path), "3\tred cup\t30\t40\n12\ta:b\t220\t220\n");
  Names read;
  ASSERT_TRUE(ReadNames(path, read, error));
  EXPECT_EQ(read.size(), 2u);
  EXPECT_EQ(read[12].taught, cv::Size(220, 220));
  EXPECT_TRUE(ReadNames((dir / "none").string(), read, error)) << "no file: no names";
  EXPECT_TRUE(read.empty());
  WriteFile(path, "3\tcup\t30\n");
  EXPECT_FALSE(ReadNames(path, read, error));
  EXPECT_EQ(error, path + ", line 1: not ID<TAB>NAME<TAB>W<TAB>H");
}

TEST(SuccessPlot, IsAPictureOrSaysWhyNot) {
  ScratchDir dir;
  const Evaluation e = Evaluate({D(1, 1, 0, 0, 10, 10)}, {D(1, 1, 0, 0, 10, 10)}, nullptr);
  std::string error;
  ASSERT_TRUE(WriteSuccessPlot(e, (dir / "plot.png").string(), error)) << error;
  EXPECT_EQ(cv::imread((dir / "plot.png").string()).size(), cv::Size(720, 520));
  EXPECT_FALSE(WriteSuccessPlot(e, (dir / "missing" / "plot.png").string(), error));
  EXPECT_FALSE(WriteSuccessPlot(e, (dir / "plot.xyz").string(), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
