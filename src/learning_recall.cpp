// Write and Read: the checked entry points of the learning and recall walks.
#include "errors.hpp"
#include "memory_state.hpp"

using namespace vizmoro;
using namespace vizmoro::detail;

void CvAssociativeMemoryState::write(cv::Rect area, const int32_t* apData) {
  if (!holds(area)) AM_REPORT(cv::Error::BadImageSize, "Write", "Incorrect size interest area");
  if (!root) AM_REPORT(cv::Error::StsNullPtr, "Write", am_messages::kNotCreated);
  if (image.empty()) AM_REPORT(cv::Error::StsNullPtr, "Write", am_messages::kNoImage);
  if (!apData) AM_REPORT(cv::Error::StsNullPtr, "Write", "NULL apData pointer ");

  settlePruning();
  if (area.size() != context.geometry.levelWindows[0].size()) setAreaSize(area.width, area.height);
  root->header = AssocHeader{1, 0, 0, *apData};
  cv::Rect window = area;
  root->WriteNode(integral, area, window, *apData);
  countAccess();
}

bool CvAssociativeMemoryState::read(cv::Rect area, cv::Rect& foundRect, int32_t** dataRef,
                                    uint64_t* baseIndex, uint64_t* hitCounter, double* similarity,
                                    bool forceDescent, int32_t* index, bool deferPruning) {
  if (!holds(area)) AM_REPORT(cv::Error::BadImageSize, "Read", "Incorrect size of interest area");
  if (!root) AM_REPORT(cv::Error::StsNullPtr, "Read", am_messages::kNotCreated);
  if (image.empty()) AM_REPORT(cv::Error::StsNullPtr, "Read", am_messages::kNoImage);

  settlePruning();
  if (area.size() != context.geometry.levelWindows[0].size()) setAreaSize(area.width, area.height);
  WalkResult walk;
  root->Walk(integral, area, forceDescent, context.geometry.levelWindows, context.scratch, walk);
  ApplyWalk(walk);
  foundRect = walk.found;
  AssocHeader& end = walk.end->header;
  if (dataRef) *dataRef = &end.data;
  if (baseIndex) *baseIndex = end.id;
  if (hitCounter) *hitCounter = end.hits;
  if (index) *index = end.data;
  if (similarity) *similarity = walk.similarity * kSimilarityScale;
  countAccess(deferPruning);
  return walk.matched;
}

void CvAssociativeMemory::Write(cv::Rect area, const int32_t* apData) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "Write");
  state->write(area, apData);
  state->keepWithinBudget();
}

bool CvAssociativeMemory::Read(cv::Rect area, cv::Rect& foundRect, int32_t** dataRef,
                               uint64_t* baseIndex, uint64_t* hitCounter, double* similarity,
                               bool forceDescent) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "Read");
  return state->read(area, foundRect, dataRef, baseIndex, hitCounter, similarity, forceDescent,
                     nullptr, true);
}
