// The correlation filter: features of a resampled window, a ridge regression per frequency.
#include "correlation_filter.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace vizmoro::detail {

namespace {

constexpr double kPadding = 1.5;              // the window is the box grown by this much of it
constexpr double kWindowCells = 1024;         // cells in the window, whatever the box's size
constexpr int kCellPixels = 4;                // resampled pixels across a cell
constexpr int kOrientations = 9;              // unsigned gradient orientation bins
constexpr int kChannels = kOrientations + 1;  // and the mean grey level
constexpr int kChromaChannels = 2;            // Lab's a and b, where the frame is in colour
constexpr double kSigma = 0.1;                // of the peak, per object side in cells
constexpr double kLambda = 1e-4;              // the regression's regularisation
// The size: a filter over sizes apart by this factor, of the object's own box (no padding) at
// about this many cells.
constexpr int kSizes = 17;
constexpr double kSizeStep = 1.03;
constexpr double kSizeSigma = 1.0;  // of the peak, in steps
constexpr double kSizeCells = 48;
constexpr double kSupport = 1.2;  // the filter's extent, of the object's size
// The peak's own neighbourhood, left out of the rest of the response when judging its sharpness:
// this much of the object's smaller side, in cells, and at least two cells.
constexpr double kPeakReach = 0.25;

// Complex matrices (two channels of float) multiplied element-wise, the second conjugated.
void MultiplyConjugate(const cv::Mat& a, const cv::Mat& b, cv::Mat& out) {
  cv::mulSpectrums(a, b, out, 0, true);
}

// Index `i` of `n` counted cyclically from 0: the second half counts back from -n / 2.
int Cyclic(int i, int n) {
  return i <= n / 2 ? i : i - n;
}

// Where the peak `here` lies between its neighbours, from a parabola through the three.
double PeakOffset(float before, float here, float after) {
  const float curve = before - 2 * here + after;
  return curve < 0 ? 0.5 * (before - after) / curve : 0.0;
}

// What was learned, `into`, with `now` blended in at `rate` (all of it at 1 or when empty).
void Blend(cv::Mat& into, const cv::Mat& now, double rate) {
  if (into.empty() || rate >= 1)
    into = now.clone();
  else
    cv::addWeighted(into, 1 - rate, now, rate, 0, into);
}

// Resamples the frame's rectangle of `size` about `centre` to `out` pixels (32-bit float, as many
// channels as the frame's), cropped on whole pixels with the frame's edge replicated.
void Sample(const cv::Mat& frame, cv::Point2d centre, cv::Size2d size, cv::Size out,
            cv::Mat& patch) {
  CV_Assert(frame.depth() == CV_8U);  // whole levels: Describe's table depends on them
  const double width = std::max(1.0, size.width), height = std::max(1.0, size.height);
  if (width < 2 * out.width && height < 2 * out.height) {
    // Little shrinking: resampled exactly, so that sizes a fraction of a pixel apart differ.
    const double sx = out.width / width, sy = out.height / height;
    const cv::Matx23d m(sx, 0, out.width / 2.0 - sx * centre.x - 0.5 + 0.5 * sx, 0, sy,
                        out.height / 2.0 - sy * centre.y - 0.5 + 0.5 * sy);
    cv::Mat sampled;
    cv::warpAffine(frame, sampled, m, out, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    sampled.convertTo(patch, CV_32F);
    return;
  }
  const cv::Rect crop(static_cast<int>(std::lround(centre.x - width / 2)),
                      static_cast<int>(std::lround(centre.y - height / 2)),
                      std::max(1, static_cast<int>(std::lround(width))),
                      std::max(1, static_cast<int>(std::lround(height))));
  const cv::Rect inside = crop & cv::Rect(cv::Point(), frame.size());
  cv::Mat window;
  if (inside.empty()) {
    window = cv::Mat(crop.size(), frame.type(), cv::Scalar::all(128));
  } else if (inside == crop) {
    window = frame(crop);
  } else {
    cv::copyMakeBorder(frame(inside), window, inside.y - crop.y, crop.br().y - inside.br().y,
                       inside.x - crop.x, crop.br().x - inside.br().x, cv::BORDER_REPLICATE);
  }
  cv::resize(window, patch, out, 0, 0, crop.width > out.width ? cv::INTER_AREA : cv::INTER_LINEAR);
  patch.convertTo(patch, CV_32F);
}

// The unsigned orientation (0..pi) of every gradient of whole grey levels, by (gy, gx) from -255
// to 255: the patches come from 8-bit frames, so a table replaces the arc tangent per pixel.
constexpr int kLevels = 255;
const std::vector<float>& Orientations() {
  static const std::vector<float> table = [] {
    std::vector<float> angles((2 * kLevels + 1) * (2 * kLevels + 1));
    for (int gy = -kLevels; gy <= kLevels; ++gy)
      for (int gx = -kLevels; gx <= kLevels; ++gx) {
        float angle = std::atan2(static_cast<float>(gy), static_cast<float>(gx));
        if (angle < 0) angle += static_cast<float>(CV_PI);
        angles[(gy + kLevels) * (2 * kLevels + 1) + gx + kLevels] = angle;
      }
    return angles;
  }();
  return table;
}

// Per cell of kCellPixels square of `patch` (32-bit float of whole grey levels, as Sample makes
// it, whose gradients the orientation table covers): the gradient energy by orientation
// (each pixel split between its two nearest bins), over the gradient energy around the cell so
// that contrast does not matter, and the mean grey level; one matrix of cells per channel.
void Describe(const cv::Mat& patch, std::vector<cv::Mat>& channels) {
  const cv::Size cells(patch.cols / kCellPixels, patch.rows / kCellPixels);
  cv::Mat dx, dy;
  cv::Sobel(patch, dx, CV_32F, 1, 0, 1);
  cv::Sobel(patch, dy, CV_32F, 0, 1, 1);
  channels.resize(kChannels);
  for (cv::Mat& c : channels) c = cv::Mat::zeros(cells, CV_32F);
  const float* orientation = Orientations().data() + kLevels * (2 * kLevels + 1) + kLevels;
  std::array<float*, kChannels> sums;
  for (int y = 0; y < cells.height * kCellPixels; ++y) {
    const float* gx = dx.ptr<float>(y);
    const float* gy = dy.ptr<float>(y);
    const float* g = patch.ptr<float>(y);
    for (int c = 0; c < kChannels; ++c) sums[c] = channels[c].ptr<float>(y / kCellPixels);
    for (int x = 0; x < cells.width * kCellPixels; ++x) {
      const int cx = x / kCellPixels;
      const float magnitude = std::sqrt(gx[x] * gx[x] + gy[x] * gy[x]);
      const float angle =
          orientation[static_cast<int>(gy[x]) * (2 * kLevels + 1) + static_cast<int>(gx[x])];
      const float at = angle * static_cast<float>(kOrientations / CV_PI) - 0.5f;
      const float lower = std::floor(at);
      const float part = at - lower;
      const int b0 = (static_cast<int>(lower) + kOrientations) % kOrientations;
      const int b1 = (b0 + 1) % kOrientations;
      sums[b0][cx] += magnitude * (1 - part);
      sums[b1][cx] += magnitude * part;
      sums[kOrientations][cx] += g[x];
    }
  }
  // A faint floor keeps flat places from amplifying noise.
  cv::Mat energy = cv::Mat::zeros(cells, CV_32F);
  for (int b = 0; b < kOrientations; ++b) cv::accumulateSquare(channels[b], energy);
  cv::boxFilter(energy, energy, -1, cv::Size(3, 3), cv::Point(-1, -1), true, cv::BORDER_REFLECT);
  constexpr float kFloor = kCellPixels * kCellPixels * 4.0f;
  cv::sqrt(energy + kFloor * kFloor, energy);
  for (int b = 0; b < kOrientations; ++b) cv::divide(channels[b], energy, channels[b]);
  channels[kOrientations].convertTo(channels[kOrientations], CV_32F,
                                    1.0 / (255.0 * kCellPixels * kCellPixels), -0.5);
}

// Per cell of `cells` over the colour frame's rectangle of `size` about `centre`: its mean colour's
// chroma, Lab's a and b times `weight`, appended to `channels`.
void Chroma(const cv::Mat& colour, cv::Point2d centre, cv::Size2d size, cv::Size cells,
            double weight, cv::Mat& scratch, std::vector<cv::Mat>& channels) {
  Sample(colour, centre, size, cells, scratch);
  if (scratch.channels() == 4) cv::cvtColor(scratch, scratch, cv::COLOR_BGRA2BGR);
  scratch *= 1.0 / 255;
  cv::cvtColor(scratch, scratch, cv::COLOR_BGR2Lab);
  cv::Mat lab[3];
  cv::split(scratch, lab);
  for (int c = 1; c <= kChromaChannels; ++c) {
    channels.emplace_back();
    lab[c].convertTo(channels.back(), CV_32F, weight);
  }
}

// The peak-to-sidelobe ratio of `response` about its peak `at`: the cells further than `reach`
// from it (cyclically) make the sidelobe.
double Sharpness(const cv::Mat& response, cv::Point at, double reach) {
  const int w = response.cols, h = response.rows;
  double sum = 0, squares = 0;
  int n = 0;
  for (int y = 0; y < h; ++y) {
    const int dy = std::min(std::abs(y - at.y), h - std::abs(y - at.y));
    const float* r = response.ptr<float>(y);
    for (int x = 0; x < w; ++x) {
      const int dx = std::min(std::abs(x - at.x), w - std::abs(x - at.x));
      if (dx <= reach && dy <= reach) continue;
      sum += r[x];
      squares += static_cast<double>(r[x]) * r[x];
      ++n;
    }
  }
  if (n == 0) return 0;
  const double mean = sum / n;
  const double deviation = std::sqrt(std::max(squares / n - mean * mean, 1e-12));
  return (response.at<float>(at) - mean) / deviation;
}

}  // namespace

void CorrelationFilter::Features(const cv::Mat& grey, const cv::Mat& colour, cv::Point2d centre,
                                 cv::Size2d size, std::vector<cv::Mat>& spectra) {
  Sample(grey, centre, size * (1 + kPadding),
         cv::Size(cells_.width * kCellPixels, cells_.height * kCellPixels), patch_);
  Describe(patch_, channels_);
  if (chroma_ > 0 && !colour.empty()) {
    Chroma(colour, centre, size * (1 + kPadding), cells_, chroma_, colourPatch_, channels_);
  } else if (chroma_ > 0) {
    for (int c = 0; c < kChromaChannels; ++c) channels_.push_back(cv::Mat::zeros(cells_, CV_32F));
  }
  const int count = static_cast<int>(channels_.size());
  spectra.resize(count);
  for (int c = 0; c < count; ++c) {
    cv::multiply(channels_[c], hann_, channels_[c]);
    cv::dft(channels_[c], spectra[c], cv::DFT_COMPLEX_OUTPUT);
  }
}

void CorrelationFilter::Start(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size,
                              const cv::Mat& colour, double chroma) {
  CV_Assert(colour.empty() || (colour.depth() == CV_8U && colour.size() == grey.size() &&
                               (colour.channels() == 3 || colour.channels() == 4)));
  chroma_ = colour.empty() ? 0 : std::max(0.0, chroma);
  // As many cells as the window needs for its aspect, the same count for any size of box.
  const double width = size.width * (1 + kPadding), height = size.height * (1 + kPadding);
  const double side = std::sqrt(kWindowCells / (width * height));
  cells_ = cv::Size(std::max(8, 2 * static_cast<int>(std::lround(width * side / 2))),
                    std::max(8, 2 * static_cast<int>(std::lround(height * side / 2))));
  cv::createHanningWindow(hann_, cells_, CV_32F);
  // The wanted response: a Gaussian peak on the cell at the origin, cyclically.
  const double objectWidth = cells_.width / (1 + kPadding);
  const double objectHeight = cells_.height / (1 + kPadding);
  const double sigma = kSigma * std::sqrt(objectWidth * objectHeight);
  cv::Mat wanted(cells_, CV_32F);
  for (int y = 0; y < cells_.height; ++y)
    for (int x = 0; x < cells_.width; ++x) {
      const int dx = Cyclic(x, cells_.width), dy = Cyclic(y, cells_.height);
      wanted.at<float>(y, x) =
          static_cast<float>(std::exp(-0.5 * (dx * dx + dy * dy) / (sigma * sigma)));
    }
  cv::dft(wanted, label_, cv::DFT_COMPLEX_OUTPUT);
  denominator_.release();
  numerator_.clear();
  // The size filter: its samples' cells, their taper and the wanted response over the sizes,
  // steps counted cyclically from the size given.
  const double sizeSide = std::sqrt(kSizeCells / (size.width * size.height));
  sizeCells_ = cv::Size(std::max(2, static_cast<int>(std::lround(size.width * sizeSide))),
                        std::max(2, static_cast<int>(std::lround(size.height * sizeSide))));
  sizeTaper_.create(1, kSizes, CV_32F);
  cv::Mat sizeWanted(1, kSizes, CV_32F);
  for (int i = 0; i < kSizes; ++i) {
    const int step = Cyclic(i, kSizes);
    sizeTaper_.at<float>(i) = static_cast<float>(0.5 * (1 + std::cos(2 * CV_PI * step / kSizes)));
    sizeWanted.at<float>(i) =
        static_cast<float>(std::exp(-0.5 * step * step / (kSizeSigma * kSizeSigma)));
  }
  cv::Mat label;
  cv::dft(sizeWanted, label, cv::DFT_ROWS | cv::DFT_COMPLEX_OUTPUT);
  sizeLabel_ = cv::repeat(label, sizeCells_.area() * kChannels, 1);
  sizeNumerator_.release();
  sizeDenominator_.release();
  Learn(grey, colour, centre, size, 1);
}

void CorrelationFilter::Update(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size,
                               double rate, const cv::Mat& colour) {
  if (Started()) Learn(grey, colour, centre, size, rate);
}

void CorrelationFilter::Learn(const cv::Mat& grey, const cv::Mat& colour, cv::Point2d centre,
                              cv::Size2d size, double rate) {
  Features(grey, colour, centre, size, spectra_);
  cv::Mat energy = cv::Mat::zeros(cells_, CV_32FC2), term;
  const int count = static_cast<int>(spectra_.size());
  numerator_.resize(count);
  for (int c = 0; c < count; ++c) {
    MultiplyConjugate(spectra_[c], label_, term);
    Blend(numerator_[c], term, rate);
    MultiplyConjugate(spectra_[c], spectra_[c], term);
    energy += term;
  }
  Blend(denominator_, energy, rate);
  Confine();

  SizeSamples(grey, centre, size, sizeSpectrum_);
  cv::Mat numerator, energies, sizeEnergy;
  cv::mulSpectrums(sizeSpectrum_, sizeLabel_, numerator, cv::DFT_ROWS, true);
  cv::mulSpectrums(sizeSpectrum_, sizeSpectrum_, energies, cv::DFT_ROWS, true);
  cv::reduce(energies, sizeEnergy, 0, cv::REDUCE_SUM);
  Blend(sizeNumerator_, numerator, rate);
  Blend(sizeDenominator_, sizeEnergy, rate);
}

void CorrelationFilter::SizeSamples(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size,
                                    cv::Mat& spectrum) {
  // One column per size: the features of the object's box at that size, tapered over the sizes.
  const int length = sizeCells_.area() * kChannels;
  cv::Mat samples(length, kSizes, CV_32F);
  const cv::Size out(sizeCells_.width * kCellPixels, sizeCells_.height * kCellPixels);
  for (int i = 0; i < kSizes; ++i) {
    const int step = Cyclic(i, kSizes);
    Sample(grey, centre, size * std::pow(kSizeStep, step), out, patch_);
    Describe(patch_, channels_);
    const float taper = sizeTaper_.at<float>(i);
    int row = 0;
    for (const cv::Mat& c : channels_)
      for (int y = 0; y < c.rows; ++y)
        for (int x = 0; x < c.cols; ++x) samples.at<float>(row++, i) = c.at<float>(y, x) * taper;
  }
  cv::dft(samples, spectrum, cv::DFT_ROWS | cv::DFT_COMPLEX_OUTPUT);
}

double CorrelationFilter::Scale(const cv::Mat& grey, cv::Point2d centre, cv::Size2d size) {
  SizeSamples(grey, centre, size, sizeSpectrum_);
  cv::Mat products, sum;
  cv::mulSpectrums(sizeSpectrum_, sizeNumerator_, products, cv::DFT_ROWS, true);
  cv::reduce(products, sum, 0, cv::REDUCE_SUM);
  for (int i = 0; i < kSizes; ++i)
    sum.at<cv::Vec2f>(i) *=
        1.0f / (sizeDenominator_.at<cv::Vec2f>(i)[0] + static_cast<float>(kLambda));
  cv::Mat response;
  cv::dft(sum, response, cv::DFT_ROWS | cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_REAL_OUTPUT);
  cv::Point at;
  cv::minMaxLoc(response, nullptr, nullptr, nullptr, &at);
  const int i = at.x;
  const double step =
      Cyclic(i, kSizes) + PeakOffset(response.at<float>((i + kSizes - 1) % kSizes),
                                     response.at<float>(i), response.at<float>((i + 1) % kSizes));
  return std::pow(kSizeStep, step);
}

void CorrelationFilter::Confine() {
  // The learned filter, frequency by frequency, then confined in space to the object's own cells
  // and a margin, so that the surroundings it was learned against do not pull the answer.
  const double halfWidth = kSupport * cells_.width / (1 + kPadding) / 2;
  const double halfHeight = kSupport * cells_.height / (1 + kPadding) / 2;
  const int count = static_cast<int>(numerator_.size());
  filter_.resize(count);
  cv::Mat spatial;
  for (int c = 0; c < count; ++c) {
    filter_[c].create(cells_, CV_32FC2);
    for (int y = 0; y < cells_.height; ++y) {
      const cv::Vec2f* a = numerator_[c].ptr<cv::Vec2f>(y);
      const cv::Vec2f* d = denominator_.ptr<cv::Vec2f>(y);
      cv::Vec2f* h = filter_[c].ptr<cv::Vec2f>(y);
      for (int x = 0; x < cells_.width; ++x)
        h[x] = a[x] * (1.0f / (d[x][0] + static_cast<float>(kLambda)));
    }
    cv::dft(filter_[c], spatial, cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_COMPLEX_OUTPUT);
    for (int y = 0; y < cells_.height; ++y) {
      cv::Vec2f* h = spatial.ptr<cv::Vec2f>(y);
      for (int x = 0; x < cells_.width; ++x)
        if (std::abs(x - cells_.width / 2) > halfWidth ||
            std::abs(y - cells_.height / 2) > halfHeight)
          h[x] = cv::Vec2f(0, 0);
    }
    cv::dft(spatial, filter_[c], cv::DFT_COMPLEX_OUTPUT);
  }
}

CorrelationFilter::Found CorrelationFilter::Find(const cv::Mat& grey, cv::Point2d centre,
                                                 cv::Size2d size, const cv::Mat& colour) {
  Features(grey, colour, centre, size, spectra_);
  cv::Mat sum = cv::Mat::zeros(cells_, CV_32FC2), term;
  for (int c = 0; c < static_cast<int>(filter_.size()); ++c) {
    MultiplyConjugate(spectra_[c], filter_[c], term);
    sum += term;
  }
  cv::dft(sum, response_, cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_REAL_OUTPUT);
  Found found;
  cv::Point at;
  cv::minMaxLoc(response_, nullptr, &found.peak, nullptr, &at);
  // The peak between cells (its neighbours taken cyclically).
  const int w = cells_.width, h = cells_.height;
  const float here = response_.at<float>(at.y, at.x);
  double x = at.x + PeakOffset(response_.at<float>(at.y, (at.x + w - 1) % w), here,
                               response_.at<float>(at.y, (at.x + 1) % w));
  double y = at.y + PeakOffset(response_.at<float>((at.y + h - 1) % h, at.x), here,
                               response_.at<float>((at.y + 1) % h, at.x));
  found.sharpness =
      Sharpness(response_, at, std::max(2.0, kPeakReach * std::min(w, h) / (1 + kPadding)));
  if (x > w / 2.0) x -= w;
  if (y > h / 2.0) y -= h;
  found.centre = centre + cv::Point2d(x * size.width * (1 + kPadding) / w,
                                      y * size.height * (1 + kPadding) / h);
  return found;
}

}  // namespace vizmoro::detail
