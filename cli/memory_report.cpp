#include "memory_report.hpp"

#include <map>
#include <string>
#include <vector>

#include "json.hpp"
#include "memory_loading.hpp"
#include "names_file.hpp"

namespace vizmoro_cli {

namespace {

// What a memory holds, counted over its bases, with the names kept beside it.
struct Contents {
  std::vector<int> perLevel;
  std::map<int32_t, int> perObject;
  std::map<int32_t, bool> objects;  // named or holding bases
};

Contents Count(CvAssociativeMemory& memory, const Names& names) {
  Contents c;
  memory.VisitNodes(
      [](int, int, const int16_t*, int32_t* data, uint64_t, uint64_t, int, int16_t level,
         void* user) {
        auto& t = *static_cast<Contents*>(user);
        if (t.perLevel.size() < static_cast<size_t>(level)) t.perLevel.resize(level, 0);
        ++t.perLevel[level - 1];
        ++t.perObject[*data];
        return true;
      },
      &c);
  for (const auto& [id, name] : names) c.objects[id] = true;
  for (const auto& [id, count] : c.perObject) c.objects[id] = true;
  return c;
}

std::string AsJson(const std::string& file, CvAssociativeMemory& memory, const Names& names,
                   Contents& c) {
  const cv::Size area = memory.GetSize();
  Json json = {{"file", file},
               {"area", {area.width, area.height}},
               {"levels", c.perLevel.size()},
               {"bases", memory.GetNodeCount() - 1},
               {"basesPerLevel", c.perLevel},
               {"lastBaseId", memory.GetLastNodeId()},
               {"readsAndWrites", memory.GetAccessCount()},
               {"objects", Json::array()}};
  for (const auto& [id, unused] : c.objects) {
    const auto name = names.find(id);
    const bool named = name != names.end();
    json["objects"].push_back(
        {{"id", id},
         {"name", named ? Json(name->second.name) : Json()},
         {"taught", named ? Json{name->second.taught.width, name->second.taught.height} : Json()},
         {"bases", c.perObject[id]}});
  }
  return JsonLine(json);
}

void PrintText(std::FILE* out, const std::string& file, CvAssociativeMemory& memory,
               const Names& names, Contents& c) {
  const cv::Size area = memory.GetSize();
  std::fprintf(out, "memory file %s: an area of %d x %d, %d bases\n", file.c_str(), area.width,
               area.height, memory.GetNodeCount() - 1);
  std::fprintf(out, "bases per level:");
  for (size_t i = 0; i < c.perLevel.size(); ++i)
    std::fprintf(out, " %zu: %d%s", i + 1, c.perLevel[i], i + 1 < c.perLevel.size() ? "," : "");
  std::fprintf(out, "\nlast base id %llu, %llu reads and writes\n",
               static_cast<unsigned long long>(memory.GetLastNodeId()),
               static_cast<unsigned long long>(memory.GetAccessCount()));
  std::fprintf(out, "objects:\n");
  for (const auto& [id, unused] : c.objects) {
    const auto name = names.find(id);
    if (name != names.end())
      std::fprintf(out, "  %d\t%s\ttaught %d x %d\t%d bases\n", id, name->second.name.c_str(),
                   name->second.taught.width, name->second.taught.height, c.perObject[id]);
    else
      std::fprintf(out, "  %d\t(no name)\t%d bases\n", id, c.perObject[id]);
  }
}

}  // namespace

int Inspect(const Arguments& a, std::FILE* out, std::FILE* messages) {
  CvAssociativeMemory memory;
  bool loaded = false;
  Names names;
  std::string why;
  try {
    LoadMemory(memory, a.memory, loaded);
    if (!loaded) throw Failure{kExitInput, "there is no memory file " + a.memory};
    if (!ReadNames(NamesPath(a.memory), names, why)) throw Failure{kExitInput, why};
  } catch (const Failure& failure) {
    std::fprintf(messages, "vizmoro-cli: %s\n", failure.message.c_str());
    return failure.code;
  }
  Contents contents = Count(memory, names);
  if (a.json)
    std::fputs(AsJson(a.memory, memory, names, contents).c_str(), out);
  else
    PrintText(out, a.memory, memory, names, contents);
  return std::ferror(out) ? kExitOutput : kExitOk;
}

}  // namespace vizmoro_cli
