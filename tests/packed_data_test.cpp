// Packed data and the memory file: the exact layout, round trips, refusal of malformed data and
// saves that cannot destroy the previous file.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "errors.hpp"
#include "memory_state.hpp"
#include "packed_data.hpp"
#include "scratch_dir.hpp"
#include "test_images.hpp"
#include "tree_helpers.hpp"
#include "vizmoro/memory_file.hpp"

using namespace vizmoro::detail;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using vizmoro_test::ScratchDir;

const cv::Rect kArea(390, 250, 220, 220);

Bytes pack(const CvAssociativeMemory& memory) {
  Bytes bytes(static_cast<size_t>(memory.GetPackedSize()));
  memory.WritePackedData(bytes.data());
  return bytes;
}

uint64_t getU(const Bytes& b, size_t at, int size) {
  uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}
void putU(Bytes& b, size_t at, int size, uint64_t v) {
  for (int i = 0; i < size; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Offsets of the records, then the end of the last one.
std::vector<size_t> recordOffsets(const Bytes& packed) {
  const size_t nodes = getU(packed, 20, 4);
  std::vector<size_t> at{40 + 8 * nodes};
  for (size_t i = 0; i < nodes; ++i) at.push_back(at.back() + 32 + getU(packed, at.back() + 28, 4));
  return at;
}
size_t recordsEnd(const Bytes& packed) {
  return recordOffsets(packed).back();
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Teaches `writes` areas of one textured frame; the image stays set.
void teach(CvAssociativeMemory& memory, int writes) {
  for (int i = 0; i < writes; ++i) {
    const int32_t value = i % 3 + 1;
    memory.Write(kArea - cv::Point(37 * i % 300, 23 * i % 200), &value);
  }
}

// The nodes, leaving out their counts of child slots, which a round trip need not keep.
std::vector<VisitedNode> visit(CvAssociativeMemory& memory) {
  std::vector<VisitedNode> nodes = visitAll(memory);
  for (VisitedNode& node : nodes) node.slots = 0;
  return nodes;
}

// Sets the hits of a whole subtree; returns its node count.
int setHits(AssocNode& node, uint64_t hits) {
  node.header.hits = hits;
  int count = 1;
  for (auto& child : node.children)
    if (child) count += setHits(*child, hits);
  return count;
}

class PackedFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    memory.Create(220, 220, 3);
    memory.SetImage(image);
  }
  // The refused call left the memory as it was, its source image included.
  void expectUnchanged(const Bytes& before) {
    EXPECT_EQ(pack(memory), before);
    EXPECT_FALSE(stateOf(memory).image.empty());
  }
  cv::Mat image = texturedImage(cv::Size(640, 480), 7);
  CvAssociativeMemory memory;
};

using PackedLayout = PackedFixture;

TEST_F(PackedLayout, FreshMemoryPacksTo82BytesAndSavesTo93) {
  const Bytes expected = {
      220, 0, 0, 0, 220, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0,  // width, height, dataSize, memorySize
      0,   0, 3, 0, 1,   0, 0, 0,                          // maxDepth, levels, nodeCount
      1,   0, 0, 0, 0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // lastNodeId, accessCount
      0,   0, 0, 0, 0,   0, 0, 0,                          // the root's parent
      1,   0, 0, 0, 0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // id, hits
      0,   0, 0, 0, 0,   0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0,  // threshold, data, length
      0,   0};
  EXPECT_EQ(memory.GetPackedSize(), 82);
  EXPECT_EQ(pack(memory), expected);

  ScratchDir dir;
  ASSERT_TRUE(memory.SaveToFile((dir / "am.dat").c_str(), false));
  Bytes file = {'A', 'M', 'v', '0', '.', '3', 0, 82, 0, 0, 0};
  file.insert(file.end(), expected.begin(), expected.end());
  EXPECT_EQ(readFile(dir / "am.dat"), file);
}

TEST_F(PackedLayout, FirstWriteGivesFourRecordsInPreOrder) {
  teach(memory, 1);
  const Bytes packed = pack(memory);
  ASSERT_EQ(packed.size(), 768u);
  EXPECT_EQ(getU(packed, 12, 4), 568u);  // memorySize
  EXPECT_EQ(getU(packed, 16, 2), 3u);    // maxDepth
  EXPECT_EQ(getU(packed, 20, 4), 4u);    // nodeCount
  EXPECT_EQ(getU(packed, 24, 8), 4u);    // lastNodeId
  EXPECT_EQ(getU(packed, 32, 8), 1u);    // accessCount
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(getU(packed, 40 + 8 * i, 8), i) << i;

  std::vector<const AssocNode*> chain = {stateOf(memory).root.get()};
  while (chain.size() < 4) chain.push_back(chain.back()->children.at(0).get());
  const size_t offsets[] = {72, 106, 156, 286};
  const uint64_t lengths[] = {2, 18, 98, 450};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const size_t at = offsets[i];
    EXPECT_EQ(getU(packed, at, 8), i + 1);
    EXPECT_EQ(getU(packed, at + 8, 8), i == 0 ? 0u : 1u);
    EXPECT_EQ(getU(packed, at + 16, 8), chain[i]->header.threshold);
    EXPECT_EQ(getU(packed, at + 24, 4), 1u);
    EXPECT_EQ(getU(packed, at + 28, 4), lengths[i]);
    for (uint64_t k = 0; k < lengths[i] / 2; ++k)
      ASSERT_EQ(static_cast<int16_t>(getU(packed, at + 32 + 2 * k, 2)),
                chain[i]->values ? chain[i]->values[k] : 0);
  }
  EXPECT_EQ(recordsEnd(packed), 768u);
}

// memorySize counts every value array since Create; once that overstates the size beyond an
// int32 the buffer still holds exactly the records.
TEST_F(PackedLayout, OverstatedMemorySizeFallsBackToTheRecords) {
  teach(memory, 1);
  stateOf(memory).context.memorySize = std::numeric_limits<int32_t>::max();
  EXPECT_EQ(memory.GetPackedSize(), 768);
  const Bytes packed = pack(memory);
  CvAssociativeMemory loaded;
  loaded.ReadPackedData(packed.data(), packed.size());
  EXPECT_EQ(visit(loaded), visit(memory));
}

struct Geometry {
  int width, height;
  int16_t levels;
};
class PackedRoundTrip : public ::testing::TestWithParam<Geometry> {};

TEST_P(PackedRoundTrip, RestoresTreeAndCounters) {
  const Geometry g = GetParam();
  const cv::Mat image = texturedImage(cv::Size(640, 480), 11);
  CvAssociativeMemory memory;
  memory.Create(g.width, g.height, g.levels);
  memory.SetImage(image);
  teach(memory, 12);
  const Bytes packed = pack(memory);

  CvAssociativeMemory loaded;
  loaded.Create(40, 40, 1);
  stateOf(loaded).prunedNodeCount = 17;
  loaded.ReadPackedData(packed.data(), packed.size());
  EXPECT_EQ(loaded.GetSize(), memory.GetSize());
  EXPECT_EQ(loaded.GetNodeCount(), memory.GetNodeCount());
  EXPECT_EQ(loaded.GetLastNodeId(), memory.GetLastNodeId());
  EXPECT_EQ(loaded.GetAccessCount(), memory.GetAccessCount());
  EXPECT_EQ(stateOf(loaded).prunedNodeCount, 17);
  const std::vector<VisitedNode> nodes = visit(loaded);
  EXPECT_EQ(nodes, visit(memory));
  int16_t deepest = 0;
  for (const VisitedNode& node : nodes) deepest = std::max(deepest, node.level);
  EXPECT_EQ(loaded.GetMaxDepth(), deepest);
  // Thresholds and tree shape: the records pack back byte for byte.
  const Bytes repacked = pack(loaded);
  EXPECT_TRUE(std::equal(packed.begin() + 40, packed.begin() + recordsEnd(packed),
                         repacked.begin() + 40, repacked.end()));
}

INSTANTIATE_TEST_SUITE_P(PackedGeometries, PackedRoundTrip,
                         ::testing::Values(Geometry{220, 220, 3}, Geometry{40, 40, 0},
                                           Geometry{320, 240, 0}, Geometry{100, 60, 2}));

using PackedRefusal = PackedFixture;

TEST_F(PackedRefusal, MalformedDataLeavesTheMemoryAsItWas) {
  teach(memory, 4);
  const Bytes before = pack(memory);
  const size_t root = 40 + 8 * getU(before, 20, 4), level1 = root + 34;
  const struct {
    const char* what;
    std::function<void(Bytes&)> spoil;
  } cases[] = {
      {"shorter than the header", [](Bytes& b) { b.resize(39); }},
      {"dataSize 8", [](Bytes& b) { putU(b, 8, 4, 8); }},
      {"width below 40", [](Bytes& b) { putU(b, 0, 4, 39); }},
      {"height beyond Create's limit", [](Bytes& b) { putU(b, 4, 4, 70000); }},
      {"no levels", [](Bytes& b) { putU(b, 18, 2, 0); }},
      {"more levels than the grid allows", [](Bytes& b) { putU(b, 18, 2, 6); }},
      {"node count 0", [](Bytes& b) { putU(b, 20, 4, 0); }},
      {"negative node count", [](Bytes& b) { putU(b, 20, 4, 0x80000000u); }},
      {"table past the end", [](Bytes& b) { putU(b, 20, 4, 1000000); }},
      {"records past the end", [](Bytes& b) { b.resize(recordsEnd(b) - 1); }},
      {"negative record length", [=](Bytes& b) { putU(b, level1 + 28, 4, 0xfffffffeu); }},
      {"length of another level", [=](Bytes& b) { putU(b, root + 28, 4, 18); }},
      {"first record not the root", [](Bytes& b) { putU(b, 40, 8, 1); }},
      {"second root", [](Bytes& b) { putU(b, 48, 8, 0); }},
      {"unknown parent", [](Bytes& b) { putU(b, 48, 8, 999); }},
      {"parent is the node itself", [=](Bytes& b) { putU(b, 48, 8, getU(b, level1, 8)); }},
      {"level beyond levels", [](Bytes& b) { putU(b, 18, 2, 2); }},
      {"id beyond the last id", [](Bytes& b) { putU(b, 24, 8, 2); }},
      {"a leaf with the root's id",  // pre-order: the last record is a leaf
       [](Bytes& b) { putU(b, recordOffsets(b).rbegin()[1], 8, 1); }},
      // New ids would wrap around to the root's.
      {"last id 2^64 - 1", [](Bytes& b) { putU(b, 24, 8, ~uint64_t{0}); }},
      {"last id 2^64 - 2", [](Bytes& b) { putU(b, 24, 8, ~uint64_t{1}); }},
      // Every base would stop above the deepest level, and the next pruning delete them all.
      {"levels raised to 4", [](Bytes& b) { putU(b, 18, 2, 4); }},
      {"levels raised to 5", [](Bytes& b) { putU(b, 18, 2, 5); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes spoiled = before;
    c.spoil(spoiled);
    try {
      memory.ReadPackedData(spoiled.data(), spoiled.size());
      ADD_FAILURE() << "accepted";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsUnmatchedSizes);
      EXPECT_EQ(e.func, "CvAssociativeMemory::ReadPackedData");
    }
    expectUnchanged(before);
  }
  try {
    memory.ReadPackedData(nullptr, before.size());
    ADD_FAILURE() << "accepted a null buffer";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsNullPtr);
    EXPECT_EQ(e.err, am_messages::kNullPacked);
  }
  expectUnchanged(before);
}

using MemoryFile = PackedFixture;

TEST_F(MemoryFile, SaveLoadKeepsPrunedMemoryAndIgnoresTheTail) {
  teach(memory, 6);
  AssocNode& root = *stateOf(memory).root;
  const int before = memory.GetNodeCount();
  const int kept = 1 + setHits(*root.children[0], 5);  // one subtree survives, the rest goes
  ScratchDir dir;
  ASSERT_TRUE(memory.SaveToFile((dir / "am.dat").c_str(), false));
  EXPECT_EQ(memory.GetNodeCount(), kept);  // the memory itself was pruned
  EXPECT_LT(kept, before);
  const Bytes file = readFile(dir / "am.dat");
  ASSERT_EQ(file.size(), 11u + memory.GetPackedSize());
  EXPECT_GT(file.size() - 11, recordsEnd(Bytes(file.begin() + 11, file.end())));

  CvAssociativeMemory loaded;
  ASSERT_TRUE(loaded.LoadFromFile((dir / "am.dat").c_str()));
  EXPECT_EQ(visit(loaded), visit(memory));
  EXPECT_EQ(loaded.GetLastNodeId(), memory.GetLastNodeId());
}

TEST_F(MemoryFile, ReadsOnlyWellFormedFiles) {
  CvAssociativeMemory source;
  source.Create(220, 220, 3);
  ScratchDir dir;
  ASSERT_TRUE(source.SaveToFile((dir / "am.dat").c_str(), true));
  const Bytes good = readFile(dir / "am.dat");
  const struct {
    const char* what;
    std::function<void(Bytes&)> edit;
    bool loads;
  } cases[] = {
      {"current magic", [](Bytes&) {}, true},
      {"previous magic", [](Bytes& b) { b[5] = '2'; }, true},
      {"trailing bytes", [](Bytes& b) { b.push_back(9); }, true},
      {"other magic", [](Bytes& b) { b[5] = '4'; }, false},
      {"magic without its zero", [](Bytes& b) { b[6] = 'x'; }, false},
      {"short header", [](Bytes& b) { b.resize(10); }, false},
      {"short data", [](Bytes& b) { b.pop_back(); }, false},
      {"negative size", [](Bytes& b) { putU(b, 7, 4, 0xffffff00u); }, false},
      {"size beyond the file", [](Bytes& b) { putU(b, 7, 4, 0x7fffffff); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    teach(memory, 1);
    const Bytes before = pack(memory);
    Bytes file = good;
    c.edit(file);
    writeFile(dir / "case.dat", file);
    errno = 0;
    EXPECT_EQ(memory.LoadFromFile((dir / "case.dat").c_str()), c.loads);
    if (c.loads) {
      EXPECT_EQ(pack(memory), pack(source));
      memory.SetImage(image);
    } else {
      EXPECT_EQ(errno, 0) << "a file that is no memory file is no system error";
      expectUnchanged(before);
    }
  }
  EXPECT_FALSE(memory.LoadFromFile(nullptr));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(memory.LoadFromFile((dir / "missing.dat").c_str()));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(MemoryFile, RefusedPackedDataIsReportedNotLoaded) {
  ScratchDir dir;
  ASSERT_TRUE(memory.SaveToFile((dir / "am.dat").c_str(), true));
  Bytes file = readFile(dir / "am.dat");
  putU(file, 11 + 8, 4, 8);  // dataSize
  writeFile(dir / "am.dat", file);
  teach(memory, 1);
  const Bytes before = pack(memory);
  try {
    memory.LoadFromFile((dir / "am.dat").c_str());
    ADD_FAILURE() << "loaded";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsUnmatchedSizes);
    EXPECT_EQ(e.err, am_messages::kDataSize);
    EXPECT_EQ(e.func, "CvAssociativeMemory::ReadPackedData");
  }
  expectUnchanged(before);
}

TEST(MemoryFileSave, UncreatedMemoryIsRefusedAndWritesNothing) {
  CvAssociativeMemory memory;
  ScratchDir dir;
  try {
    memory.SaveToFile((dir / "am.dat").c_str(), false);
    ADD_FAILURE() << "saved";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsNullPtr);
    EXPECT_EQ(e.func, "CvAssociativeMemory::WritePackedData");
    EXPECT_EQ(e.err, am_messages::kNotCreated);
  }
  EXPECT_EQ(dir.entries(), 0u);
  errno = 0;
  EXPECT_FALSE(memory.SaveToFile(nullptr, false));
  EXPECT_EQ(errno, EINVAL);
}

// A save buffer the system cannot give is reported as missing packed data; nothing is written.
TEST_F(MemoryFile, SaveBufferThatCannotBeHadIsReportedAndWritesNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps address space that a limit would cut";
#endif
  teach(memory, 1);
  // Packs to nearly 2 GiB, more than the child below may map.
  CvAssociativeMemoryAccess::state(memory).context.memorySize =
      std::numeric_limits<int32_t>::max() - 4096;
  ScratchDir dir;
  const pid_t child = ::fork();
  if (child == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (rlim_t{512} << 20);
    const struct rlimit limit = {room, room};
    int code = 1;
    try {
      if (::setrlimit(RLIMIT_AS, &limit) == 0) {
        memory.SaveToFile((dir / "am.dat").c_str(), true);
        code = 2;
      }
    } catch (const cv::Exception& e) {
      code =
          e.code == cv::Error::StsNullPtr && e.err == "The pointer of packed data is NULL" ? 0 : 4;
    } catch (...) {
      code = 3;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(dir.entries(), 0u);
}

// Cuts the temporary file short after `budget` bytes, as a full disk would.
size_t budget;
ssize_t writeUntilFull(int fd, const void* data, size_t size) {
  if (budget == 0) {
    errno = ENOSPC;
    return -1;
  }
  const ssize_t written = ::write(fd, data, std::min(size, budget));
  if (written > 0) budget -= static_cast<size_t>(written);
  return written;
}

TEST_F(MemoryFile, FailedSaveKeepsThePreviousFile) {
  teach(memory, 1);
  ScratchDir dir;
  const std::string target = (dir / "am.dat").string();
  ASSERT_TRUE(memory.SaveToFile(target.c_str(), true));
  const Bytes previous = readFile(target);
  teach(memory, 3);  // the next save would differ

  for (size_t cut : {size_t{0}, size_t{5}, previous.size() / 2}) {
    SCOPED_TRACE(cut);
    budget = cut;
    packed_file::writeFunction = writeUntilFull;
    EXPECT_FALSE(memory.SaveToFile(target.c_str(), true));
    packed_file::writeFunction = ::write;
    EXPECT_EQ(readFile(target), previous);
    EXPECT_EQ(dir.entries(), 1u);  // no temporary file left behind
  }
  // Written whole, but not made durable.
  packed_file::syncFunction = [](int) {
    errno = EIO;
    return -1;
  };
  EXPECT_FALSE(memory.SaveToFile(target.c_str(), true));
  packed_file::syncFunction = ::fsync;
  EXPECT_EQ(readFile(target), previous);
  EXPECT_EQ(dir.entries(), 1u);
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(memory.SaveToFile((dir / "folder").c_str(), true));
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_FALSE(memory.SaveToFile((dir / "missing" / "am.dat").c_str(), true));
  EXPECT_EQ(dir.entries(), 2u);

  CvAssociativeMemory loaded;
  ASSERT_TRUE(loaded.LoadFromFile(target.c_str()));
  EXPECT_EQ(loaded.GetNodeCount(), 4);
}

// Runs `save` in a child process as the unprivileged user nobody; true when it returned true.
bool savedAsNobody(const std::function<bool()>& save) {
  const pid_t child = ::fork();
  if (child == 0) {
    const gid_t group = 65534;
    const bool dropped =
        ::setgroups(1, &group) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped && save() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(MemoryFile, SaveReplacesAFileOfAnotherOwnerAndKeepsItsOwnerAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  teach(memory, 1);
  ScratchDir dir;
  const std::string target = (dir / "am.dat").string();
  ASSERT_TRUE(memory.SaveToFile(target.c_str(), true));
  // As after a run as root in a user's folder: the file is root's and only root may write it.
  ::chmod(dir.path().c_str(), 0777);
  ::chmod(target.c_str(), 0644);
  EXPECT_TRUE(savedAsNobody([&] { return memory.SaveToFile(target.c_str(), true); }))
      << "the folder lets nobody create and rename files";
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);

  // Saved again by root: the file stays nobody's, with its group and mode.
  ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
  teach(memory, 1);
  ASSERT_TRUE(memory.SaveToFile(target.c_str(), true));
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0604u);

  // A folder nobody may not write: the save fails, says why, and the file stays.
  const Bytes previous = readFile(target);
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_FALSE(savedAsNobody([&] { return memory.SaveToFile(target.c_str(), true); }));
  EXPECT_EQ(readFile(target), previous);
  EXPECT_FALSE(savedAsNobody([&] { return vizmoro::CanReplaceMemoryFile(target); }));
  std::string reason;
  EXPECT_TRUE(vizmoro::CanReplaceMemoryFile(target, &reason)) << reason;  // root may
}

TEST_F(MemoryFile, SaveRemovesTemporariesLeftByEndedSaves) {
  ScratchDir dir;
  const std::string target = (dir / "am.dat").string();
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ::waitpid(ended, nullptr, 0);
  const std::string stale = target + ".tmp" + std::to_string(ended) + "-3";
  const std::string live = target + ".tmp" + std::to_string(::getppid()) + "-0";
  const std::string other = target + ".tmpfoo";
  for (const std::string& name : {stale, live, other}) writeFile(name, Bytes(5, 1));
  ASSERT_TRUE(memory.SaveToFile(target.c_str(), true));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live)) << "its process may still be saving";
  EXPECT_TRUE(fs::exists(other)) << "not a name a save makes";
}

TEST_F(MemoryFile, LoadRefusesFoldersAndFifosWithoutWaiting) {
  ScratchDir dir;
  teach(memory, 1);
  const Bytes before = pack(memory);
  fs::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  errno = 0;
  EXPECT_FALSE(memory.LoadFromFile((dir / "folder").c_str()));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(memory.LoadFromFile((dir / "fifo").c_str()));  // no writer: would block
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(memory.LoadFromFile((dir / "missing").c_str()));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(pack(memory), before);
}

TEST(MemoryFileLock, OneHolderAtATimeBesideTheFileALinkNames) {
  ScratchDir dir;
  const std::string file = (dir / "am.dat").string();
  std::string reason;
  vizmoro::MemoryFileLock first = vizmoro::MemoryFileLock::Acquire(file, &reason);
  ASSERT_TRUE(first.held()) << reason;
  EXPECT_EQ(first.path(), file + ".lock");
  vizmoro::MemoryFileLock second = vizmoro::MemoryFileLock::Acquire(file, &reason);
  EXPECT_FALSE(second.held());
  EXPECT_EQ(reason, "another run holds its lock " + file + ".lock");

  // Through a link to the file: the same lock.
  writeFile(file, Bytes(3, 0));
  fs::create_symlink(file, dir / "link.dat");
  EXPECT_FALSE(vizmoro::MemoryFileLock::Acquire((dir / "link.dat").string()).held());

  vizmoro::MemoryFileLock moved = std::move(first);
  EXPECT_FALSE(vizmoro::MemoryFileLock::Acquire(file).held());
  moved = vizmoro::MemoryFileLock();
  EXPECT_TRUE(vizmoro::MemoryFileLock::Acquire(file).held());
  EXPECT_FALSE(
      vizmoro::MemoryFileLock::Acquire((dir / "missing" / "am.dat").string(), &reason).held());
  EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
}

TEST(MemoryFileCheck, SaysWhyAFileCannotBeReplaced) {
  ScratchDir dir;
  std::string reason;
  EXPECT_TRUE(vizmoro::CanReplaceMemoryFile((dir / "am.dat").string(), &reason)) << reason;
  EXPECT_EQ(dir.entries(), 0u) << "the check leaves nothing behind";
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(vizmoro::CanReplaceMemoryFile((dir / "folder").string(), &reason));
  EXPECT_EQ(reason, (dir / "folder").string() + " is a folder");
  EXPECT_FALSE(vizmoro::CanReplaceMemoryFile((dir / "missing" / "am.dat").string(), &reason));
  EXPECT_EQ(reason, "cannot create a file in " + (dir / "missing").string() +
                        ": No such file or directory");
}

// Every input the reader's fuzzer found, and its seeds: refused cleanly or loaded soundly.
TEST(PackedRegressions, FuzzFindingsAndSeedsReadSafely) {
  const fs::path tests = VIZMORO_TESTS_DIR;
  size_t replayed = 0, seeds = 0;
  for (const fs::path& dir :
       {tests / "data" / "packed_regressions", tests.parent_path() / "fuzz" / "corpus"}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      SCOPED_TRACE(entry.path().string());
      const Bytes input = readFile(entry.path());
      CvAssociativeMemory memory;
      memory.Create(40, 40, 1);
      const Bytes before = pack(memory);
      try {
        memory.ReadPackedData(input.data(), input.size());
        const Bytes repacked = pack(memory);
        CvAssociativeMemory again;
        again.ReadPackedData(repacked.data(), repacked.size());
        EXPECT_EQ(pack(again), repacked);
        seeds += dir.filename() == "corpus";
      } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsUnmatchedSizes);
        EXPECT_EQ(pack(memory), before);
        EXPECT_NE(dir.filename(), "corpus") << "a seed no longer loads";
      }
      ++replayed;
    }
  }
  EXPECT_GT(seeds, 0u);
  EXPECT_GT(replayed, seeds);
}

}  // namespace
