// ObjectTracking: found objects confirm or start tracked objects, each with a condensation
// filter predicting its displacement; unconfirmed ones are looked for again around their
// predicted place; weakly recognised objects are taught again.
#include "tracking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "condensation.hpp"
#include "errors.hpp"
#include "search.hpp"

namespace {

constexpr int kSamples = 64;

// Feeds a measured displacement (grid units for found objects, pixels for re-acquisitions) to
// the tracked object's filter, in two rounds, and takes its new estimate.
void measure(const CvAssociativeMemoryState& s, TrackedObject& t, float ux, float uy) {
  ConDensation& filter = *t.filter;
  const double kx = 1.0 / (4.0f * s.stepX2), ky = 1.0 / (4.0f * s.stepY2);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < filter.SamplesNum; ++i) {
      const double ex = static_cast<double>(ux) - filter.flSamples[2 * i];
      const double ey = static_cast<double>(uy) - filter.flSamples[2 * i + 1];
      filter.flConfidence[i] =
          static_cast<float>(std::exp(-kx * ex * ex) * std::exp(-ky * ey * ey));
    }
    filter.UpdateByTime();
  }
  t.offsetX = filter.State[0];
  t.offsetY = filter.State[1];
}

// Whether a track has been confirmed in each of the last `establishedAfter` calls before this.
bool established(const CvAssociativeMemoryState& s, const TrackedObject& t) {
  return t.lastFrame + 1 == s.trackFrame && t.streak >= s.learning.establishedAfter;
}

void confirm(const CvAssociativeMemoryState& s, TrackedObject& t, float ux, float uy,
             cv::Point centre, cv::Size box, double similarity) {
  measure(s, t, ux, uy);
  t.streak = t.lastFrame + 1 == s.trackFrame ? t.streak + 1 : 1;
  t.centerX = centre.x;
  t.centerY = centre.y;
  t.similarity += similarity;
  t.boxWidth = box.width;
  t.boxHeight = box.height;
  t.lastFrame = s.trackFrame;
  ++t.updates;
  t.active = true;
}

// Starts a tracked object in the first free slot, or in a new one.
void start(CvAssociativeMemoryState& s, const FoundObject& g) {
  auto free = std::find_if(s.trackedObjects.begin(), s.trackedObjects.end(),
                           [](const TrackedObject& t) { return !t.active; });
  TrackedObject* t;
  if (free != s.trackedObjects.end()) {
    t = &*free;
  } else {
    s.trackedObjects.emplace_back();
    t = &s.trackedObjects.back();
    t->filter = std::make_unique<ConDensation>(2, 2, kSamples);
  }
  t->filter->InitSampleSet(s.lowerBound.val, s.upperBound.val);
  t->active = true;
  t->centerX = g.meanCenterX();
  t->centerY = g.meanCenterY();
  t->offsetX = t->offsetY = 0;
  t->boxWidth = g.meanWidth();
  t->boxHeight = g.meanHeight();
  t->similarity = g.meanSimilarity();
  t->objectIndex = g.objectIndex;
  t->lastFrame = s.trackFrame;
  t->updates = 0;
  t->streak = 1;
  t->userData.reset();
}

struct TrackingCall {
  CvAssociativeMemoryState& s;
  Callback& callback;
  bool learning;
  double learnThreshold, trackThreshold;
  RcgAMResult report{};

  void relearn(uint32_t* objectIndex, cv::Rect window, double similarity,
               std::unique_ptr<AMUserBlock>* userSlot) {
    const int32_t data = static_cast<int32_t>(*objectIndex);
    s.write(window, &data);
    report.bases = static_cast<uint32_t>(s.context.nodeCount);
    report.rect = window;
    report.similarity = similarity;
    report.userSlot = userSlot;
    callback(RCG_AM_RELEARN, objectIndex, &report);
  }

  void associate(FoundObject& g) {
    const int mcx = g.meanCenterX(), mcy = g.meanCenterY();
    const int mw = g.meanWidth(), mh = g.meanHeight();
    const double similarity = g.meanSimilarity();
    const AssocContext& c = s.context;
    const bool weak = similarity < learnThreshold;
    const bool guarded = s.learning.guard;

    auto relearnIfWeak = [&] {
      if (!learning || !weak) return;
      const int64_t dw = mw - c.width, dh = mh - c.height;
      const cv::Rect window(mcx - (c.width >> 1), mcy - (c.height >> 1), c.width, c.height);
      if (dw * dw + dh * dh < s.mergeDistance2 && s.holds(window))
        relearn(&g.objectIndex, window, similarity, nullptr);
    };
    if (!guarded) relearnIfWeak();

    // Grid units per pixel at the found object's size.
    const float sx = static_cast<float>(c.gridWidth) / std::max(mw, 1);
    const float sy = static_cast<float>(c.gridHeight) / std::max(mh, 1);
    const double gate = std::trunc(static_cast<double>(s.trackGate2) * sy * sx);
    int64_t best = std::numeric_limits<int32_t>::max();
    TrackedObject* candidate = nullptr;
    for (TrackedObject& t : s.trackedObjects) {
      if (!t.active || t.lastFrame == s.trackFrame) continue;
      const double ex = (t.centerX + static_cast<double>(t.offsetX) / sx - mcx) * sx;
      const double ey = (t.centerY + static_cast<double>(t.offsetY) / sy - mcy) * sy;
      const int64_t d = static_cast<int64_t>(ey * ey) + static_cast<int64_t>(ex * ex);
      if (d < best && t.objectIndex == g.objectIndex) {
        best = d;
        candidate = &t;
      }
    }
    if (candidate && best < gate) {
      // Guarded, only a track that has held for a while supports teaching the object again.
      if (guarded && established(s, *candidate)) relearnIfWeak();
      confirm(s, *candidate, static_cast<float>((mcx - candidate->centerX) * sx),
              static_cast<float>((mcy - candidate->centerY) * sy), cv::Point(mcx, mcy),
              cv::Size(mw, mh), similarity);
    } else if (!guarded || !weak) {
      start(s, g);
    }
  }

  struct Reading {
    cv::Rect window, found;
    uint32_t index;
    uint64_t hits;
    double similarity;
  };

  Reading readAt(cv::Rect window) {
    Reading r{window, cv::Rect(), 0, 0, 0.0};
    int32_t index = 0;  // taken before the access count may prune the node holding it
    s.read(window, r.found, nullptr, nullptr, &r.hits, &r.similarity, true, &index);
    r.index = static_cast<uint32_t>(index);
    return r;
  }

  void reacquire(TrackedObject& t) {
    const AssocContext& c = s.context;
    const int px =
        static_cast<int>(t.centerX + t.offsetX / (static_cast<double>(c.gridWidth) / t.boxWidth));
    const int py =
        static_cast<int>(t.centerY + t.offsetY / (static_cast<double>(c.gridHeight) / t.boxHeight));
    const cv::Rect first = firstReacquisitionWindow(cv::Point(px, py), cv::Size(c.width, c.height));
    if (!s.holds(first)) return;  // past the right or bottom edge
    Reading best = readAt(first);

    const cv::Point anchor(best.found.x + (best.found.width >> 1) - (c.gridWidth >> 1),
                           best.found.y + (best.found.height >> 1) - (c.gridHeight >> 1));
    for (const cv::Rect& window : shiftedReacquisitionWindows(
             anchor, cv::Size(c.width, c.height), cv::Size(s.stepX >> 1, s.stepY >> 1),
             cv::Size(s.imageWidth, s.imageHeight))) {
      // A window reaching outside the image has nothing to add.
      if (!s.holds(window)) continue;
      const Reading r = readAt(window);
      if (r.index == t.objectIndex && r.similarity > best.similarity) best = r;
    }

    const ReacquisitionOutcome outcome = reacquisitionOutcome(
        learning, best.index == t.objectIndex, best.similarity, best.hits, trackThreshold);
    if (!outcome.confirm) return;
    if (outcome.relearn && (!s.learning.guard || established(s, t)))
      relearn(&t.objectIndex, best.window, best.similarity, &t.userData);
    const cv::Point centre(best.found.x + (best.found.width >> 1),
                           best.found.y + (best.found.height >> 1));
    confirm(s, t, static_cast<float>(centre.x - t.centerX),
            static_cast<float>(centre.y - t.centerY), centre, best.found.size(), best.similarity);
  }

  void run() {
    callback(RCG_AM_BEGIN, nullptr, nullptr);
    SearchFoundObjects(s, callback);
    report.bases = static_cast<uint32_t>(s.context.nodeCount);
    for (FoundObject& g : s.foundObjects) associate(g);

    for (TrackedObject& t : s.trackedObjects) {
      if (t.active && s.trackFrame - t.lastFrame > kTrackAge) {
        t.active = false;
        t.userData.reset();
      }
      if (!t.active) continue;
      t.similarity /= 2;
      report.rect = cv::Rect(t.centerX - (t.boxWidth >> 1), t.centerY - (t.boxHeight >> 1),
                             t.boxWidth, t.boxHeight);
      report.similarity = t.similarity;
      report.userSlot = &t.userData;
      callback(RCG_AM_TRACK, &t.objectIndex, &report);
      if (t.lastFrame != s.trackFrame) reacquire(t);
    }
    s.keepWithinBudget();
    ++s.trackFrame;
    callback(RCG_AM_END, nullptr, nullptr);
  }
};

}  // namespace

void CvAssociativeMemory::ObjectTracking(RcgAMFunc func, void* userData, bool learning,
                                         double learnThreshold, double trackThreshold) {
  if (!func) AM_REPORT(cv::Error::StsNullPtr, "ObjectTracking", am_messages::kNullCallback);
  AM_REFUSE_INSIDE_CALLBACK(*state, "ObjectTracking");
  UserCodeScope callingBack(*state);
  Callback callback(func, userData);
  TrackingCall{*state, callback, learning, learnThreshold, trackThreshold}.run();
  callback.RethrowFailure();
}
