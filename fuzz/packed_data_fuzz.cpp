// Feeds arbitrary bytes to ReadPackedData. A refusal must leave the memory as it was; whatever
// the reader accepts must pack again and read back to the very same bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vizmoro/associative_memory.hpp"

namespace {

std::vector<uint8_t> pack(const CvAssociativeMemory& memory) {
  std::vector<uint8_t> bytes(static_cast<size_t>(memory.GetPackedSize()));
  memory.WritePackedData(bytes.data());
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kNoBytes = 0;
  if (!data) data = &kNoBytes;  // an empty input is still a buffer

  CvAssociativeMemory memory;
  memory.Create(40, 40, 1);
  const std::vector<uint8_t> before = pack(memory);
  try {
    memory.ReadPackedData(data, size);
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsUnmatchedSizes || pack(memory) != before) __builtin_trap();
    return 0;
  }

  const std::vector<uint8_t> packed = pack(memory);
  CvAssociativeMemory again;
  again.ReadPackedData(packed.data(), packed.size());
  if (pack(again) != packed || again.GetNodeCount() != memory.GetNodeCount()) __builtin_trap();
  return 0;
}
