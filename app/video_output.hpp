// The annotated output video.
#ifndef VIZMORO_APP_VIDEO_OUTPUT_HPP
#define VIZMORO_APP_VIDEO_OUTPUT_HPP

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace vizmoro {

// Opens `writer` for colour frames of `size`, trying Cinepak, then the library's choice (-1),
// then Motion JPEG. The first two are not available with every video library; their attempts
// run with standard output and standard error muted, because a refusal there is expected and
// the library lists every codec it knows on standard output. Returns the four-character code
// that opened, or 0 when none did.
int OpenResultWriter(cv::VideoWriter& writer, const std::string& fileName, double fps,
                     cv::Size size);

}  // namespace vizmoro

#endif  // VIZMORO_APP_VIDEO_OUTPUT_HPP
