// The program's console lines whose layout other tools read: film position, load report and
// the teaching line.
#ifndef VIZMORO_APP_CONSOLE_LINES_HPP
#define VIZMORO_APP_CONSOLE_LINES_HPP

#include <cstdint>
#include <cstdio>
#include <exception>

namespace vizmoro {

class CvAssociativeMemory;

// The capture position in milliseconds as the position line reads it: truncated to a 32-bit
// signed integer and taken as unsigned. A position that no 32-bit integer holds (NaN, huge)
// counts as 0.
uint32_t FilmPositionMs(double positionMs);

// "==> film current position: HH:MM:SS.mmm" for a position in milliseconds.
void PrintFilmPosition(std::FILE* out, uint32_t positionMs);

// The report printed after "am.dat" was loaded.
void PrintLoadReport(std::FILE* out, const char* fileName, const CvAssociativeMemory& memory);

// The line of one teaching frame: what the memory recalls at the teaching rectangle.
void PrintHitting(std::FILE* out, uint64_t baseIndex, uint64_t hitCounter, int nodeCount,
                  double similarity);

// An error report (an engine report carries the operation and the message), on its own line.
void PrintError(std::FILE* out, const std::exception& error);

}  // namespace vizmoro

#endif  // VIZMORO_APP_CONSOLE_LINES_HPP
