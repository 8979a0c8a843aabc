// Vizmoro's tracker: follows objects through real footage from one box each, with an
// associative memory as the judge of what is the object.
//
// The tracker is a layer over CvAssociativeMemory. Every object is described at the memory's
// interest area whatever its size in pixels: the region around it is resampled so that its box
// maps onto the area. Each frame, per object:
//   - motion: a correlation filter, learned against the object's surroundings from its box on
//     every confirmed frame, predicts where it went, and a second one over sizes how its size
//     changed (or, as an option, pyramidal Lucas-Kanade optical flow on points of its box);
//     the flow on points of its box, forward-backward checked, also tells when something
//     passes in front of it (the flow turns away from its steady motion while part of its box
//     keeps that motion): then that part, or its own motion, predicts it until the passer has
//     gone;
//   - memory: a dense search (reads at steps of a few area pixels, over a few sizes) around the
//     prediction scores every window by how deep the memory recognises it as the object; only
//     the levels whose cells span a few of the object's own pixels judge it;
//   - look: a template of the object (half its first box, half a running mean of its confirmed
//     boxes) vetoes a box that does not look like the object at all, unless the filter is sure of
//     it (its peak keeps 0.4 of its usual sharpness and agrees with the flow: a turning object's
//     view changes, it does not slide off), and, with the flow as the
//     motion estimate, places the box exactly among the windows near the memory's best that the
//     memory recognises as deep;
//   - colour (on colour frames): the object's colour against its surroundings', from its first
//     box, keeps the search's box on the object among windows the memory scores alike, and
//     lets a changing view that keeps the object's colour be bridged for longer;
//   - decision: a box that the memory confirms, or absent. An absent object is looked for around
//     its last place and over the whole frame, and taken up again when the memory recognises it
//     fully on consecutive frames (each after the first where the optical flow moved the place
//     recognised last), its box placed by its look;
//   - learning: where the memory and the motion agree and the box looks like the object
//     (correlates with its look by 0.55 or more), the box is taught as the object, and the
//     windows nearby that the memory takes for it are taught as background (index 0, which
//     vizmoro-cli never reports).
//
// The memory keeps only descriptors and object indices; what else the tracker needs between runs
// (each object's taught size, the area it was created for) is its state, kept in a text file
// beside the memory file (StatePath). The engine and its options are used as they are: a memory
// that a tracker taught is an ordinary memory file.
//
// A tracker and its memory are used by one thread at a time.
#ifndef VIZMORO_TRACKER_HPP
#define VIZMORO_TRACKER_HPP

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "associative_memory.hpp"

namespace vizmoro {

// Options of the tracker, fixed when it is made.
struct TrackerParams {
  // The interest area every object is resampled to, and the memory's levels. Used when the
  // tracker creates the memory; a memory that is already created keeps its own.
  cv::Size area{64, 64};
  int levels = 3;

  // Warped copies of a taught box (small shifts, sizes, turns, blur, noise, brightness) taught
  // with it, so that one box covers the next frames' views of the object.
  int warps = 40;

  // The motion estimate between frames. kCorrelationFilter: a correlation filter on gradient
  // orientations (and on colour frames, where the object's colour stands out well from its
  // surroundings', on its chroma, weighted by how far it does), learned against the object's
  // surroundings and confined to the object, with a second filter over sizes; it places and sizes
  // the box that the memory confirms. kFlow:
  // pyramidal Lucas-Kanade optical flow on points of the box, the box then placed among the
  // memory's windows. Each gives other boxes.
  enum class MotionEstimate { kFlow, kCorrelationFilter };
  MotionEstimate motion = MotionEstimate::kCorrelationFilter;

  // Memory confirmation. When false the tracker reports the motion estimate alone (for
  // comparison): the memory is taught the first boxes and never read.
  bool confirm = true;
  // Teach the memory from the track (object and background). When false the memory only reads.
  bool learn = true;

  // Frames an object may go unconfirmed, followed by motion alone and not reported, before it
  // is looked for as absent.
  int coast = 3;
  // Consecutive frames on which an absent object must be recognised before it is reported again.
  int reacquire = 2;
  // Reads per frame that the whole-frame search of absent objects may take, all objects together;
  // a frame that needs more is searched over several frames.
  int frameSearchReads = 6000;
};

// What the tracker says of one object on one frame.
struct TrackReport {
  int32_t id = 0;
  bool present = false;   // false: not confidently found on this frame; `box` is its last place
  cv::Rect box;           // in frame pixels
  double confidence = 0;  // 0..1: how deep and how closely the memory recognised the box
};

// Per-object state that the memory file cannot hold.
struct TrackedObjectState {
  cv::Size taught;    // the size of its first taught box, in pixels
  int keyFrames = 0;  // boxes it was taught from
};

class Tracker {
 public:
  // The memory must outlive the tracker. When it is not created yet (no area), the first Teach
  // creates it for params.area and params.levels.
  //   requires: params.area sides of 40 to 4096, levels of 1 to 8, warps of 0 to 1000, coast
  //     and frameSearchReads of 0 or more, reacquire of 1 or more (else StsOutOfRange).
  explicit Tracker(CvAssociativeMemory& memory, const TrackerParams& params = TrackerParams());
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  // Teaches object `id` from `box` on `frame` (8-bit, 1 or 3 channels, BGR) and starts following
  // it there: a first box of an object, or a key frame of one already taught.
  //   requires: id >= 1; box inside the frame, at least 4 x 4 pixels (else StsOutOfRange or
  //     BadImageSize, and nothing changes).
  //   ensures: the object is present at `box` on this frame; the next Track follows it from there.
  void Teach(const cv::Mat& frame, int32_t id, const cv::Rect& box);

  // Follows every object that was taught or loaded into `frame`, the next frame of the video.
  // Objects that were loaded but not taught in this run start absent and are searched for.
  //   requires: frames of one size from one video (a frame of another size restarts every
  //     object as absent).
  //   ensures: one report per object, in id order; an object is reported present only where its
  //     box correlates with its look by 0.25 or more (once it has a look of some contrast), or the
  //     correlation filter is sure of it with the flow, and the
  //     memory recognised it on this frame at every level fine enough for its size in pixels,
  //     or, for at most four frames in a row, where the motion agrees and all but the finest of
  //     those levels recognised it, or, on colour frames, for at most 25 frames in a row, where
  //     the motion agrees, the box keeps the colour of the object's first box against its
  //     surroundings and the memory's coarsest level recognised it (with confirm off: where the
  //     motion estimate put it); before the memory is created every object is absent.
  std::vector<TrackReport> Track(const cv::Mat& frame);

  // Makes object `id` known without teaching it, as a loaded state does: for a memory taught
  // without a tracker. It starts absent and is looked for at its taught size.
  //   requires: id >= 1, a taught size of 1 x 1 or more (else StsOutOfRange).
  void AddObject(int32_t id, const TrackedObjectState& state);

  // The objects the tracker knows, by id.
  const std::map<int32_t, TrackedObjectState>& Objects() const;

  // The state as text, and back: the area, each object's taught size and key frames, and the
  // colour model of each object first taught on a colour frame. LoadState replaces the objects'
  // state; it refuses text that is not a tracker state, or whose area differs from the memory's
  // (from params.area while the memory is not created) (StsParseError), and then changes nothing.
  std::string SaveState() const;
  void LoadState(const std::string& text);

  const TrackerParams& Params() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The file beside a memory file that holds its tracker's state: memoryFile + ".track".
std::string StatePath(const std::string& memoryFile);

// Reads and writes the state file. ReadStateFile returns false when there is no such file and
// throws cv::Exception when it cannot be read or is refused. WriteStateFile writes a temporary
// beside the file and renames it over the old one, keeping its owner and mode; it returns false
// with errno set when that fails, the old file left as it was.
bool ReadStateFile(Tracker& tracker, const std::string& path);
bool WriteStateFile(const Tracker& tracker, const std::string& path);

}  // namespace vizmoro

#endif  // VIZMORO_TRACKER_HPP
