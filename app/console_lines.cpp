#include "console_lines.hpp"

#include <cinttypes>
#include <cstring>

#include <vizmoro/associative_memory.hpp>

namespace vizmoro {

uint32_t FilmPositionMs(double positionMs) {
  // Out of range the conversion to an integer would be undefined.
  if (!(positionMs > -2147483649.0 && positionMs < 2147483648.0)) return 0;
  return static_cast<uint32_t>(static_cast<int32_t>(positionMs));
}

void PrintFilmPosition(std::FILE* out, uint32_t t) {
  std::fprintf(out, "==> film current position: %2.2d:%2.2d:%2.2d.%3.3d\n",
               static_cast<int>(t / 3600000), static_cast<int>((t % 3600000) / 60000),
               static_cast<int>((t % 60000) / 1000), static_cast<int>(t % 1000));
}

void PrintLoadReport(std::FILE* out, const char* fileName, const CvAssociativeMemory& memory) {
  std::fprintf(out,
               "\n  Load associative bases from file: %s\n"
               "Associative bases ......... %-7lu\n"
               "Associative Levels ........ %-7u\n"
               "Current base index ........ %-7" PRIu64
               "\n"
               "Wr/Rd counter ............. %-7" PRIu64 "\n\n",
               fileName, static_cast<unsigned long>(static_cast<uint32_t>(memory.GetNodeCount())),
               static_cast<unsigned>(static_cast<int>(memory.GetMaxDepth())),
               memory.GetLastNodeId(), memory.GetAccessCount());
}

void PrintHitting(std::FILE* out, uint64_t baseIndex, uint64_t hitCounter, int nodeCount,
                  double similarity) {
  std::fprintf(out,
               "Hitting! Index = %" PRIu64 ", HitCounter = %" PRIu64
               ", TotalABases = %lu, Similarity = %f\n",
               baseIndex, hitCounter, static_cast<unsigned long>(static_cast<uint32_t>(nodeCount)),
               similarity);
}

void PrintError(std::FILE* out, const std::exception& error) {
  const char* text = error.what();
  const size_t length = std::strlen(text);
  std::fprintf(out, length > 0 && text[length - 1] == '\n' ? "%s" : "%s\n", text);
}

}  // namespace vizmoro
