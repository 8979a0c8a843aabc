// ObjectTracking: found objects confirm or start tracked objects, each with a condensation
// filter predicting its displacement; unconfirmed ones are looked for again around their
// predicted place; weakly recognised objects are taught again.
#include "tracking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "condensation.hpp"
#include "errors.hpp"
#include "geometry.hpp"
#include "search.hpp"
#include "tuning.hpp"

using namespace vizmoro;
using namespace vizmoro::detail;

namespace {

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
    t->filter = std::make_unique<ConDensation>(2, 2, Tuning::kTrackSamples);
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
    report.predicted = false;
    callback(RCG_AM_RELEARN, objectIndex, &report);
  }

  // Confirms the tracked object a found object belongs to, or else, with `startsTracks`, starts
  // one; false when it neither confirmed nor was left to start one.
  bool associate(FoundObject& g, bool startsTracks) {
    const int mcx = g.meanCenterX(), mcy = g.meanCenterY();
    const int mw = g.meanWidth(), mh = g.meanHeight();
    const double similarity = g.meanSimilarity();
    const Lattice& l = s.context.lattice;
    const bool weak = similarity < learnThreshold;
    const bool guarded = s.learning.guard;

    auto relearnIfWeak = [&] {
      if (!learning || !weak) return;
      const int64_t dw = mw - l.width, dh = mh - l.height;
      const cv::Rect window(mcx - (l.width >> 1), mcy - (l.height >> 1), l.width, l.height);
      if (dw * dw + dh * dh < s.mergeDistance2 && s.holds(window))
        relearn(&g.objectIndex, window, similarity, nullptr);
    };
    if (!guarded) relearnIfWeak();

    // Grid units per pixel at the found object's size.
    const float sx = static_cast<float>(l.gridWidth) / std::max(mw, 1);
    const float sy = static_cast<float>(l.gridHeight) / std::max(mh, 1);
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
      return true;
    }
    if (!startsTracks) return false;
    if (!guarded || !weak) start(s, g);
    return true;
  }

  static cv::Rect boxOf(const TrackedObject& t) {
    return cv::Rect(t.centerX - (t.boxWidth >> 1), t.centerY - (t.boxHeight >> 1), t.boxWidth,
                    t.boxHeight);
  }
  static double overlap(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area(), all = a.area() + b.area() - inter;
    return all > 0 ? inter / all : 0.0;
  }

  // The most similar found objects are associated first, and a found object over a tracked
  // object of another index that a more similar one confirmed or started in this call is left
  // out: an object is claimed by the index it matches best.
  void associateKeepingIdentities() {
    std::vector<FoundObject*> order;
    for (FoundObject& g : s.foundObjects) order.push_back(&g);
    std::stable_sort(order.begin(), order.end(), [](const FoundObject* a, const FoundObject* b) {
      return a->meanSimilarity() > b->meanSimilarity();
    });
    for (FoundObject* g : order) {
      const int w = g->meanWidth(), h = g->meanHeight();
      const cv::Rect box(g->meanCenterX() - (w >> 1), g->meanCenterY() - (h >> 1), w, h);
      const bool claimed = std::any_of(
          s.trackedObjects.begin(), s.trackedObjects.end(), [&](const TrackedObject& t) {
            return t.active && t.lastFrame == s.trackFrame && t.objectIndex != g->objectIndex &&
                   overlap(box, boxOf(t)) > 0.3;
          });
      if (!claimed) associate(*g, true);
    }
    // Two live tracked objects of one index on one object: the less similar goes.
    for (TrackedObject& a : s.trackedObjects)
      for (TrackedObject& b : s.trackedObjects) {
        if (&a == &b || !a.active || !b.active || a.objectIndex != b.objectIndex) continue;
        if (overlap(boxOf(a), boxOf(b)) <= 0.5) continue;
        TrackedObject& weaker = b.similarity > a.similarity ? a : b;
        weaker.active = false;
        weaker.userData.reset();
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

  // An unconfirmed tracked object looked for at its own size, a little smaller and larger,
  // around its predicted centre: the first window read at its own size is the best read, whatever
  // its index, unless a later read of its index is more similar.
  void reacquireFollowingSize(TrackedObject& t, cv::Point predicted) {
    const Lattice& l = s.context.lattice;
    const TrackingOptions& o = s.tracking;
    const double own = static_cast<double>(t.boxWidth) / innerWindow(l).width;
    Reading best{cv::Rect(), cv::Rect(), 0, 0, -1.0};
    bool any = false;
    double done[3];
    int tried = 0;
    for (double factor : {1.0, 0.87, 1.15}) {
      const double scale = std::clamp(own * factor, o.followFrom, o.followTo);
      if (std::find(done, done + tried, scale) != done + tried) continue;
      done[tried++] = scale;
      const cv::Size size(std::max(1, static_cast<int>(std::lround(l.width * scale))),
                          std::max(1, static_cast<int>(std::lround(l.height * scale))));
      const cv::Rect first = firstReacquisitionWindow(predicted, size);
      if (!s.holds(first)) continue;
      Reading r = readAt(first);
      if (!any || (r.index == t.objectIndex && r.similarity > best.similarity)) best = r;
      any = true;
      const cv::Point anchor(r.found.x + (r.found.width >> 1) - (size.width >> 1),
                             r.found.y + (r.found.height >> 1) - (size.height >> 1));
      const cv::Size margin(std::max(1, static_cast<int>((s.stepX >> 1) * scale)),
                            std::max(1, static_cast<int>((s.stepY >> 1) * scale)));
      for (const cv::Rect& window : shiftedReacquisitionWindows(
               anchor, size, margin, cv::Size(s.imageWidth, s.imageHeight))) {
        if (!s.holds(window)) continue;
        r = readAt(window);
        if (r.index == t.objectIndex && r.similarity > best.similarity) best = r;
      }
    }
    if (any) settle(t, best);
  }

  // The size of a tracked object that a found object confirmed, made finer than the search's
  // sizes: read at its centre at its own size, a little smaller and larger; the most similar
  // read of its index gives its box's size.
  void refineSize(TrackedObject& t) {
    const Lattice& l = s.context.lattice;
    const TrackingOptions& o = s.tracking;
    const double own = static_cast<double>(t.boxWidth) / innerWindow(l).width;
    Reading best{cv::Rect(), cv::Rect(), 0, 0, -1.0};
    for (double factor : {1.0, 0.93, 1.07}) {
      const double scale = std::clamp(own * factor, o.followFrom, o.followTo);
      const cv::Size size(std::max(1, static_cast<int>(std::lround(l.width * scale))),
                          std::max(1, static_cast<int>(std::lround(l.height * scale))));
      const cv::Rect window(t.centerX - (size.width >> 1), t.centerY - (size.height >> 1),
                            size.width, size.height);
      if (!s.holds(window)) continue;
      const Reading r = readAt(window);
      if (r.index == t.objectIndex && r.similarity > best.similarity) best = r;
    }
    if (best.similarity < 0) return;
    // The size only: the found object placed the centre.
    t.boxWidth = best.found.width;
    t.boxHeight = best.found.height;
  }

  void reacquire(TrackedObject& t) {
    const Lattice& l = s.context.lattice;
    const int px =
        static_cast<int>(t.centerX + t.offsetX / (static_cast<double>(l.gridWidth) / t.boxWidth));
    const int py =
        static_cast<int>(t.centerY + t.offsetY / (static_cast<double>(l.gridHeight) / t.boxHeight));
    if (s.tracking.followSize) {
      reacquireFollowingSize(t, cv::Point(px, py));
      return;
    }
    const cv::Rect first = firstReacquisitionWindow(cv::Point(px, py), cv::Size(l.width, l.height));
    if (!s.holds(first)) return;  // past the right or bottom edge
    Reading best = readAt(first);

    const cv::Point anchor(best.found.x + (best.found.width >> 1) - (l.gridWidth >> 1),
                           best.found.y + (best.found.height >> 1) - (l.gridHeight >> 1));
    for (const cv::Rect& window : shiftedReacquisitionWindows(
             anchor, cv::Size(l.width, l.height), cv::Size(s.stepX >> 1, s.stepY >> 1),
             cv::Size(s.imageWidth, s.imageHeight))) {
      // A window reaching outside the image has nothing to add.
      if (!s.holds(window)) continue;
      const Reading r = readAt(window);
      if (r.index == t.objectIndex && r.similarity > best.similarity) best = r;
    }
    settle(t, best);
  }

  // What the best of a tracked object's extra reads leads to.
  void settle(TrackedObject& t, const Reading& best) {
    const ReacquisitionOutcome outcome = reacquisitionOutcome(
        learning, best.index == t.objectIndex, best.similarity, best.hits, trackThreshold);
    if (!outcome.confirm) return;
    // Only a window of the memory's own size is taught: one read at a followed size is
    // resampled, and teaching it stores the object blurred or with background around it, which
    // pulls the later reads off the object.
    const bool ownSize =
        best.window.size() == cv::Size(s.context.lattice.width, s.context.lattice.height);
    if (outcome.relearn && ownSize && (!s.learning.guard || established(s, t)))
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
    if (s.tracking.keepIdentities)
      associateKeepingIdentities();
    else
      for (FoundObject& g : s.foundObjects) associate(g, true);

    if (s.tracking.followSize)
      for (TrackedObject& t : s.trackedObjects)
        if (t.active && t.lastFrame == s.trackFrame) refineSize(t);

    const bool lookFirst = s.tracking.lookBeforeReport;
    for (TrackedObject& t : s.trackedObjects) {
      if (t.active && s.trackFrame - t.lastFrame > Tuning::kTrackAge) {
        t.active = false;
        t.userData.reset();
      }
      if (!t.active) continue;
      if (lookFirst && t.lastFrame != s.trackFrame) reacquire(t);
      t.similarity /= 2;
      report.rect = boxOf(t);
      report.similarity = t.similarity;
      report.userSlot = &t.userData;
      report.predicted = t.lastFrame != s.trackFrame;
      callback(RCG_AM_TRACK, &t.objectIndex, &report);
      if (!lookFirst && t.lastFrame != s.trackFrame) reacquire(t);
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
  state->settlePruning();
  UserCodeScope callingBack(*state);
  Callback callback(func, userData);
  TrackingCall{*state, callback, learning, learnThreshold, trackThreshold}.run();
  callback.RethrowFailure();
}
