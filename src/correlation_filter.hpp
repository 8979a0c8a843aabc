// A discriminative correlation filter: a short-term estimate of where an object moved between
// frames, learned against its surroundings.
//
// The filter sees a window of the object's box grown by a fixed padding, resampled to a fixed
// number of cells whatever the box's size, and described per cell by a histogram of gradient
// orientations and its mean grey level. It is a ridge regression, solved in the Fourier domain,
// from every cyclic shift of that window to a Gaussian peak at the object's place: the
// surroundings in the window are what it learns the object against. Frames are 8-bit grey; a
// filter started with the frame's colour as well (8-bit BGR or BGRA, the same size) and a weight
// for it also describes each cell by its mean chroma, and is given the colour on every later call
// (where it is not, the chroma counts as neutral grey). The size filter sees the grey only.
#ifndef VIZMORO_CORRELATION_FILTER_HPP
#define VIZMORO_CORRELATION_FILTER_HPP

#include <vector>

#include <opencv2/core.hpp>

namespace vizmoro::detail {

class CorrelationFilter {
 public:
  struct Found {
    cv::Point2d centre;  // the object's centre, frame pixels
    double peak = 0;     // the filter's response there (about 1 for a view it learned)
    // How far the peak stands out of the rest of the response, in its standard deviations: it
    // falls when the object changes all at once or is gone, far less when it changes slowly.
    double sharpness = 0;
  };

  // Learns the object in `box` (centre, size) of the grey frame afresh; with its colour too where
  // `colour` is given and `chroma`, the chroma's weight against the grey features (1: Lab's a and
  // b as they are, against gradients normalised to about 1), is above 0.
  void Start(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size,
             const cv::Mat& colour = cv::Mat(), double chroma = 0);
  // Blends the view of `box` in the grey frame into what it learned, at `rate` (0..1).
  void Update(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size, double rate,
              const cv::Mat& colour = cv::Mat());
  // Looks for the object around `centre` at `size`.
  //   requires: started.
  Found Find(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size,
             const cv::Mat& colour = cv::Mat());
  bool Started() const { return !denominator_.empty(); }
  // How many times larger than `size` the object at `centre` is now.
  //   requires: started.
  double Scale(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size);

 private:
  // The features of the window around `centre` for an object of `size`, windowed, in the
  // Fourier domain, one complex matrix per channel.
  void Features(const cv::Mat& grey, const cv::Mat& colour, cv::Point2d centre, cv::Size2d size,
                std::vector<cv::Mat>& spectra);
  void Learn(const cv::Mat& grey, const cv::Mat& colour, cv::Point2d centre, cv::Size2d size,
             double rate);
  // The size filter's samples of the box at each size, in the Fourier domain over the sizes.
  void SizeSamples(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size, cv::Mat& spectrum);
  // Makes filter_ from what was learned; after every Learn.
  void Confine();

  cv::Size cells_;                  // the window, in cells
  double chroma_ = 0;               // the weight of the cells' chroma among the features; 0: none
  double pixelsPerCell_ = 0;        // frame pixels per cell at the size learned
  cv::Mat hann_;                    // the window's taper, per cell
  cv::Mat label_;                   // the wanted response's spectrum
  std::vector<cv::Mat> numerator_;  // per channel
  cv::Mat denominator_;             // the learned energy, summed over the channels
  std::vector<cv::Mat> filter_;     // per channel, confined
  // The size filter: per feature (row) and size (column).
  cv::Size sizeCells_;
  cv::Mat sizeTaper_, sizeLabel_, sizeNumerator_, sizeDenominator_;
  // Scratch.
  cv::Mat patch_, response_, sizeSpectrum_, colourPatch_;
  std::vector<cv::Mat> channels_, spectra_;
};

}  // namespace vizmoro::detail

#endif  // VIZMORO_CORRELATION_FILTER_HPP
