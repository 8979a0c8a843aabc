// Writes the fuzzer's seed corpus into the folder given on the command line: the packed data
// of small memories that learned a textured image, one of them pruned so that its buffer is
// longer than its records.
#include <cstdio>
#include <string>
#include <vector>

#include "memory_state.hpp"
#include "test_images.hpp"

using namespace vizmoro::detail;

namespace {

struct Seed {
  const char* name;
  int width, height;
  int16_t levels;
  int writes;
  bool prune;
};

void teach(CvAssociativeMemory& memory, int writes) {
  for (int i = 0; i < writes; ++i) {
    const int32_t value = i % 3 + 1;
    memory.Write(cv::Rect(390 - 37 * i % 300, 250 - 23 * i % 200, 220, 220), &value);
  }
}

void setHits(AssocNode& node, uint64_t hits) {
  node.header.hits = hits;
  for (auto& child : node.children)
    if (child) setHits(*child, hits);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const Seed seeds[] = {
      {"fresh", 220, 220, 3, 0, false},    {"one_write", 220, 220, 3, 1, false},
      {"branched", 220, 220, 3, 5, false}, {"pruned", 220, 220, 3, 5, true},
      {"one_level", 40, 40, 1, 4, false},  {"wide_two_levels", 100, 60, 2, 4, false},
  };
  const cv::Mat image = texturedImage(cv::Size(640, 480), 3);
  for (const Seed& seed : seeds) {
    CvAssociativeMemory memory;
    memory.Create(seed.width, seed.height, seed.levels);
    memory.SetImage(image);
    teach(memory, seed.writes);
    if (seed.prune) {
      setHits(*CvAssociativeMemoryAccess::state(memory).root->children.at(0), 4);
      memory.Prune();
    }
    std::vector<uint8_t> packed(static_cast<size_t>(memory.GetPackedSize()));
    memory.WritePackedData(packed.data());
    const std::string path = std::string(argv[1]) + "/" + seed.name + ".bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(packed.data(), 1, packed.size(), file) != packed.size() ||
        std::fclose(file) != 0) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    std::printf("%s: %zu bytes, %d nodes\n", path.c_str(), packed.size(), memory.GetNodeCount());
  }
  return 0;
}
