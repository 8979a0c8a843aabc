// Position search: windows of the interest area's proportions at growing sizes over the whole
// image, each read as Read does and grouped into found objects.
#ifndef VIZMORO_SEARCH_HPP
#define VIZMORO_SEARCH_HPP

#include "memory_state.hpp"

struct SearchContext {
  CvAssociativeMemoryState* state;
  RcgAMFunc func;
  void* userData;
};

using PositionVisitor = void (*)(cv::Rect window, void* context);

// Visits every window position of every window size, sizes growing, rows outer.
void PositionSearch(CvAssociativeMemoryState& state, PositionVisitor visitor, void* context);

// Reads one window, reports it (code 1 or 2) and adds a match to the state's found objects.
// The context is a SearchContext.
void CollectFound(cv::Rect window, void* context);

// Clears the found objects and runs the search with CollectFound.
void SearchFoundObjects(CvAssociativeMemoryState& state, RcgAMFunc func, void* userData);

#endif  // VIZMORO_SEARCH_HPP
