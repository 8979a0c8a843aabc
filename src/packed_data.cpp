// Packed data, the little-endian image of the whole memory, and the memory file around it.
//
// Layout: a 40-byte header, a table of N parent ids (8 bytes each), then N node records in
// depth-first pre-order (28-byte node header, 4-byte value length, the values). Every field is
// written and read byte by byte, so the data is the same whatever the host's byte order.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "file_io.hpp"
#include "geometry.hpp"
#include "memory_state.hpp"

using namespace vizmoro;
using namespace vizmoro::detail;

namespace {

constexpr size_t kHeaderSize = 40;
constexpr size_t kParentSize = 8;
constexpr size_t kRecordHeadSize = 32;  // node header and value length
constexpr size_t kNodeSize = kParentSize + kRecordHeadSize;
constexpr int32_t kDataSize = 4;  // bytes of a node's data field
constexpr int kMinSide = 40;

constexpr size_t kFileHeadSize = 11;  // magic with its zero byte, packed size
constexpr char kMagic[7] = "AMv0.3";
constexpr char kOldMagic[7] = "AMv0.2";  // same layout

constexpr uint64_t kLastNodeIdLimit = uint64_t{1} << 63;

constexpr const char* kTooLarge = "Associative memory is too large to pack";

// Little-endian fields.
void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void putU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t getU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t getU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
uint64_t getU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
int16_t getI16(const uint8_t* p) {
  return static_cast<int16_t>(getU16(p));
}
int32_t getI32(const uint8_t* p) {
  return static_cast<int32_t>(getU32(p));
}

struct PackedHeader {
  int32_t width = 0, height = 0, dataSize = 0, memorySize = 0;
  int16_t maxDepth = 0, levels = 0;
  int32_t nodeCount = 0;
  uint64_t lastNodeId = 0, accessCount = 0;
};

void putHeader(uint8_t* p, const PackedHeader& h) {
  putU32(p + 0, static_cast<uint32_t>(h.width));
  putU32(p + 4, static_cast<uint32_t>(h.height));
  putU32(p + 8, static_cast<uint32_t>(h.dataSize));
  putU32(p + 12, static_cast<uint32_t>(h.memorySize));
  putU16(p + 16, static_cast<uint16_t>(h.maxDepth));
  putU16(p + 18, static_cast<uint16_t>(h.levels));
  putU32(p + 20, static_cast<uint32_t>(h.nodeCount));
  putU64(p + 24, h.lastNodeId);
  putU64(p + 32, h.accessCount);
}

PackedHeader getHeader(const uint8_t* p) {
  PackedHeader h;
  h.width = getI32(p + 0);
  h.height = getI32(p + 4);
  h.dataSize = getI32(p + 8);
  h.memorySize = getI32(p + 12);
  h.maxDepth = getI16(p + 16);
  h.levels = getI16(p + 18);
  h.nodeCount = getI32(p + 20);
  h.lastNodeId = getU64(p + 24);
  h.accessCount = getU64(p + 32);
  return h;
}

AssocHeader getNodeHeader(const uint8_t* p) {
  AssocHeader h;
  h.id = getU64(p + 0);
  h.hits = getU64(p + 8);
  h.threshold = getU64(p + 16);
  h.data = getI32(p + 24);
  return h;
}

// Nodes and value bytes of a subtree, the node itself included.
struct Extent {
  int64_t nodes = 0;
  int64_t valueBytes = 0;
};

void measure(const AssocNode& node, Extent& extent) {
  ++extent.nodes;
  extent.valueBytes += int64_t{node.cols} * node.rows * 2;
  for (const auto& child : node.children)
    if (child) measure(*child, extent);
}

int64_t recordsEnd(const Extent& extent) {
  return static_cast<int64_t>(kHeaderSize) + static_cast<int64_t>(kNodeSize) * extent.nodes +
         extent.valueBytes;
}

// The buffer size: memorySize + 40 x (nodeCount + 1). memorySize counts every value array
// allocated since Create, so a long-lived memory can overstate its size past what an int32
// holds; then the exact end of the records is used instead.
int64_t packedSize(const CvAssociativeMemoryState& s) {
  const AssocContext& c = s.context;
  const int64_t nominal =
      int64_t{c.memorySize} + static_cast<int64_t>(kNodeSize) * (int64_t{c.nodeCount} + 1);
  if (!s.root) return nominal;
  Extent extent;
  measure(*s.root, extent);
  const int64_t needed = recordsEnd(extent);
  return nominal <= std::numeric_limits<int32_t>::max() && nominal >= needed ? nominal : needed;
}

// Appends parent entries and node records in pre-order.
class PackWriter {
 public:
  PackWriter(uint8_t* buffer, int64_t nodes)
      : table_(buffer + kHeaderSize), record_(table_ + kParentSize * nodes) {}

  void putNode(const AssocNode& node, uint64_t parentId) {
    putU64(table_, parentId);
    table_ += kParentSize;
    putU64(record_ + 0, node.header.id);
    putU64(record_ + 8, node.header.hits);
    putU64(record_ + 16, node.header.threshold);
    putU32(record_ + 24, static_cast<uint32_t>(node.header.data));
    const size_t count = static_cast<size_t>(node.cols) * static_cast<size_t>(node.rows);
    putU32(record_ + 28, static_cast<uint32_t>(count * 2));
    record_ += kRecordHeadSize;
    if (node.values) {
      for (size_t i = 0; i < count; ++i, record_ += 2)
        putU16(record_, static_cast<uint16_t>(node.values[i]));
    } else {
      std::memset(record_, 0, count * 2);  // the root keeps no values
      record_ += count * 2;
    }
  }

  void putChildren(const AssocNode& node) {
    for (const auto& child : node.children) {
      if (!child) continue;
      putNode(*child, node.header.id);
      putChildren(*child);
    }
  }

 private:
  uint8_t* table_;
  uint8_t* record_;
};

// Where a validated record lies and where it goes in the tree.
struct RecordRef {
  size_t offset;  // of the record in the buffer
  size_t parent;  // index of the parent's record; unused for the root
  int16_t level;
};

// Reads exactly `size` bytes. The size comes from the file: memory grows only with the bytes
// actually read, and a regular file too short for it is refused before anything is allocated.
bool readExactly(std::FILE* file, size_t size, std::vector<uint8_t>& data) {
  struct stat st;
  if (::fstat(::fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
    const long position = std::ftell(file);
    if (position < 0 || st.st_size < position ||
        static_cast<uint64_t>(st.st_size - position) < size)
      return false;
    data.reserve(size);
  }
  constexpr size_t kChunk = size_t{1} << 20;
  while (data.size() < size) {
    const size_t start = data.size();
    const size_t chunk = std::min(kChunk, size - start);
    data.resize(start + chunk);
    if (std::fread(data.data() + start, 1, chunk, file) != chunk) return false;
  }
  return true;
}

}  // namespace

int CvAssociativeMemory::GetPackedSize() const {
  const int64_t size = packedSize(*state);
  if (size > std::numeric_limits<int32_t>::max())
    AM_REPORT(cv::Error::StsOutOfRange, "GetPackedSize", kTooLarge);
  return static_cast<int>(size);
}

void CvAssociativeMemory::WritePackedData(void* buffer) const {
  if (!buffer) AM_REPORT(cv::Error::StsNullPtr, "WritePackedData", am_messages::kNullPacked);
  const CvAssociativeMemoryState& s = *state;
  if (!s.root) AM_REPORT(cv::Error::StsNullPtr, "WritePackedData", am_messages::kNotCreated);
  Extent extent;
  measure(*s.root, extent);
  if (recordsEnd(extent) > std::numeric_limits<int32_t>::max())
    AM_REPORT(cv::Error::StsOutOfRange, "WritePackedData", kTooLarge);

  const AssocContext& c = s.context;
  PackedHeader header;
  header.width = c.lattice.width;
  header.height = c.lattice.height;
  header.dataSize = kDataSize;
  header.memorySize = c.memorySize;
  header.maxDepth = c.maxDepth;
  header.levels = c.lattice.levels;
  header.nodeCount = static_cast<int32_t>(extent.nodes);  // the records that follow
  header.lastNodeId = c.lastNodeId;
  header.accessCount = c.accessCount;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  putHeader(bytes, header);
  PackWriter writer(bytes, extent.nodes);
  writer.putNode(*s.root, 0);
  writer.putChildren(*s.root);
}

void CvAssociativeMemory::ReadPackedData(const void* buffer, size_t size) {
  // Everything is checked before the memory is touched: refused data leaves it as it was.
  AM_REFUSE_INSIDE_CALLBACK(*state, "ReadPackedData");
  if (!buffer) AM_REPORT(cv::Error::StsNullPtr, "ReadPackedData", am_messages::kNullPacked);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  if (size < kHeaderSize)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "Packed data is shorter than its header");
  const PackedHeader header = getHeader(bytes);
  if (header.dataSize != kDataSize)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData", am_messages::kDataSize);
  if (header.width < kMinSide || header.width > kMaxAreaSide || header.height < kMinSide ||
      header.height > kMaxAreaSide)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "Packed data holds an invalid interest-area size");
  // The lattice Create will derive, so that record lengths can be checked beforehand.
  Lattice lattice;
  lattice.gridWidth = gridUnits(header.width);
  lattice.gridHeight = gridUnits(header.height);
  lattice.maxLevels = gridMaxLevels(lattice.gridWidth, lattice.gridHeight);
  if (header.levels < 1 || header.levels > lattice.maxLevels)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "Packed data holds an invalid number of levels");
  if (header.nodeCount < 1)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData", "Packed data holds no root node");
  const size_t nodeCount = static_cast<size_t>(header.nodeCount);
  if ((size - kHeaderSize) / kNodeSize < nodeCount)  // each node takes at least 40 bytes
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "Packed data is too short for its node count");

  // Record bounds and ids.
  std::vector<RecordRef> records(nodeCount);
  std::vector<std::pair<uint64_t, size_t>> ids(nodeCount);  // (id, record index)
  size_t offset = kHeaderSize + kParentSize * nodeCount;
  for (size_t i = 0; i < nodeCount; ++i) {
    if (size - offset < kRecordHeadSize)
      AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                "Packed data ends inside a node record");
    const int32_t length = getI32(bytes + offset + 28);
    if (length < 0 || size - offset - kRecordHeadSize < static_cast<size_t>(length))
      AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                "Packed data ends inside a node record");
    records[i].offset = offset;
    ids[i] = {getU64(bytes + offset), i};
    offset += kRecordHeadSize + static_cast<size_t>(length);
  }

  // Ids are unique in any memory this engine packs. A repeated id would make a parent ambiguous:
  // such data could load, yet pack again into records that resolve to other parents.
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end(), [](const auto& a, const auto& b) {
        return a.first == b.first;
      }) != ids.end())
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData", "Packed data holds a node id twice");

  // Parents, levels and lengths.
  const uint8_t* parents = bytes + kHeaderSize;
  uint64_t largestId = 0;
  int16_t deepest = 0;
  for (size_t i = 0; i < nodeCount; ++i) {
    RecordRef& record = records[i];
    const uint64_t parentId = getU64(parents + kParentSize * i);
    if (i == 0) {
      if (parentId != 0)
        AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                  "The first packed node is not the root");
      record.parent = 0;
      record.level = 0;
    } else {
      if (parentId == 0)
        AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                  "Packed data holds a second root node");
      const auto found =
          std::lower_bound(ids.begin(), ids.end(), std::make_pair(parentId, size_t{0}));
      if (found == ids.end() || found->first != parentId || found->second >= i)
        AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                  "A packed node's parent matches no earlier node");
      record.parent = found->second;
      record.level = static_cast<int16_t>(records[found->second].level + 1);
      if (record.level > header.levels)
        AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                  "A packed node lies below the deepest level");
    }
    const int64_t expected =
        int64_t{levelCols(lattice, record.level)} * levelRows(lattice, record.level) * 2;
    if (getI32(bytes + record.offset + 28) != expected)
      AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
                "A packed node's value length does not match its level");
    largestId = std::max(largestId, getU64(bytes + record.offset));
    deepest = std::max(deepest, record.level);
  }
  // Ids handed out later must not repeat a stored one, nor wrap around: no memory comes near
  // 2^63 ids (a billion new bases a second would take 292 years).
  if (largestId > header.lastNodeId)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "A packed node id lies beyond the last node id");
  if (header.lastNodeId > kLastNodeIdLimit)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "Packed data holds a last node id that leaves no room for new ids");
  // Learning grows every branch to the deepest level. Bases that all stop above it mean a
  // levels field that does not belong to them, and the next pruning would delete them all.
  if (nodeCount > 1 && deepest != header.levels)
    AM_REPORT(cv::Error::StsUnmatchedSizes, "ReadPackedData",
              "Packed data holds no node at its deepest level");
  ids = {};

  // The data is sound: rebuild. Only allocation can fail from here on.
  Create(header.width, header.height, header.levels);
  CvAssociativeMemoryState& s = *state;
  s.context.lastNodeId = header.lastNodeId;
  s.context.accessCount = header.accessCount;
  std::vector<AssocNode*> nodes(nodeCount);
  nodes[0] = s.root.get();
  s.root->header = getNodeHeader(bytes + records[0].offset);  // its zero values are skipped
  std::vector<int16_t> values;
  for (size_t i = 1; i < nodeCount; ++i) {
    const uint8_t* record = bytes + records[i].offset;
    values.resize(static_cast<size_t>(getI32(record + 28)) / 2);
    const uint8_t* stored = record + kRecordHeadSize;
    for (size_t k = 0; k < values.size(); ++k) values[k] = getI16(stored + 2 * k);
    const AssocHeader nodeHeader = getNodeHeader(record);
    nodes[i] =
        nodes[records[i].parent]->InsertChild(cv::Mat(), cv::Rect(), values.data(), &nodeHeader);
  }
}

bool CvAssociativeMemory::SaveToFile(const char* fileName, bool keepAll) {
  if (!keepAll) AM_REFUSE_INSIDE_CALLBACK(*state, "SaveToFile");  // the pruning changes the tree
  if (!fileName) {
    errno = EINVAL;
    return false;
  }
  if (!state->root) AM_REPORT(cv::Error::StsNullPtr, "WritePackedData", am_messages::kNotCreated);
  // A pruning a Read left pending: the file holds the tree the next call would see.
  state->settlePruning();
  if (!keepAll) state->root->Prune();  // the memory stays pruned whatever follows

  const int size = GetPackedSize();
  std::vector<uint8_t> file;
  try {
    file.assign(kFileHeadSize + static_cast<size_t>(size), 0);
  } catch (const std::bad_alloc&) {
    AM_REPORT(cv::Error::StsNullPtr, "WritePackedData", am_messages::kNullPacked);
  }
  std::memcpy(file.data(), kMagic, sizeof kMagic);
  putU32(file.data() + sizeof kMagic, static_cast<uint32_t>(size));
  WritePackedData(file.data() + kFileHeadSize);
  return file_io::ReplaceFile(fileName, file.data(), file.size());
}

bool CvAssociativeMemory::LoadFromFile(const char* fileName) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "LoadFromFile");
  if (!fileName) {
    errno = EINVAL;
    return false;
  }
  std::vector<uint8_t> data;
  {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(file_io::OpenRegularFile(fileName),
                                                         &std::fclose);
    if (!file) return false;
    uint8_t head[kFileHeadSize];
    if (std::fread(head, 1, kFileHeadSize, file.get()) != kFileHeadSize) return false;
    if (std::memcmp(head, kMagic, sizeof kMagic) != 0 &&
        std::memcmp(head, kOldMagic, sizeof kOldMagic) != 0)
      return false;
    const int32_t size = getI32(head + sizeof kMagic);
    if (size < 0) return false;
    try {
      if (!readExactly(file.get(), static_cast<size_t>(size), data)) return false;
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;  // a file too large for the memory left, not a broken one
      return false;
    }
  }
  // Refused data is reported and thrown, so a true result always means a loaded memory.
  static const uint8_t kNoBytes = 0;
  ReadPackedData(data.empty() ? &kNoBytes : data.data(), data.size());
  return true;
}
