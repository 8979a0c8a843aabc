#include "memory_file.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <vizmoro/associative_memory.hpp>

#include "program_runner.hpp"

namespace {

namespace fs = std::filesystem;
using vizmoro_test::CapturedFile;
using vizmoro_test::ReadFile;
using vizmoro_test::ScratchDir;
using vizmoro_test::WriteFile;

std::string PackedFileWithDataSize(int32_t dataSize) {
  CvAssociativeMemory memory;
  memory.Create(220, 220, 3);
  std::string packed(static_cast<size_t>(memory.GetPackedSize()), '\0');
  memory.WritePackedData(packed.data());
  std::memcpy(&packed[8], &dataSize, 4);  // little-endian on the machines we build for
  const int32_t size = static_cast<int32_t>(packed.size());
  std::string file("AMv0.3\0", 7);
  file.append(reinterpret_cast<const char*>(&size), 4);
  return file + packed;
}

class MemoryFileTest : public testing::Test {
 protected:
  vizmoro::MemoryFileStart Load() {
    return vizmoro::LoadOrCreateMemory(memory_, file_.c_str(), out_.get(), err_.get());
  }
  void ExpectFreshMemory() {
    CvAssociativeMemory fresh;
    fresh.Create(220, 220, 3);
    EXPECT_EQ(memory_.GetSize(), fresh.GetSize());
    EXPECT_EQ(memory_.GetNodeCount(), fresh.GetNodeCount());
    EXPECT_EQ(memory_.GetLastNodeId(), fresh.GetLastNodeId());
  }

  ScratchDir dir_;
  fs::path file_ = dir_ / "am.dat";
  CvAssociativeMemory memory_;
  CapturedFile out_, err_;
};

TEST_F(MemoryFileTest, MissingFileGivesAFreshMemorySilently) {
  const vizmoro::MemoryFileStart start = Load();
  EXPECT_FALSE(start.loaded);
  EXPECT_TRUE(start.saveAtEnd);
  ExpectFreshMemory();
  EXPECT_EQ(out_.Text(), "");
  EXPECT_FALSE(fs::exists(dir_ / "am.dat.bak"));
}

TEST_F(MemoryFileTest, UnloadableFilesAreKeptAside) {
  const std::string contents[] = {
      "not a memory file", std::string("AMv0.3\0\x10\0\0\0short", 16),
      PackedFileWithDataSize(8),  // refused by the memory itself
  };
  const char* backups[] = {"am.dat.bak", "am.dat.bak.1", "am.dat.bak.2"};
  for (int i = 0; i < 3; ++i) {
    WriteFile(file_, contents[i]);
    CvAssociativeMemory memory;
    CapturedFile out, err;
    const vizmoro::MemoryFileStart start =
        vizmoro::LoadOrCreateMemory(memory, file_.c_str(), out.get(), err.get());
    EXPECT_FALSE(start.loaded);
    EXPECT_TRUE(start.saveAtEnd);
    EXPECT_EQ(start.backupName, (dir_ / backups[i]).string());
    EXPECT_EQ(ReadFile(dir_ / backups[i]), contents[i]) << "the old file is kept unchanged";
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_EQ(memory.GetSize(), cv::Size(220, 220));
    EXPECT_EQ(out.Text(), "Memory file " + file_.string() + " cannot be loaded: kept as " +
                              start.backupName + ", starting a new memory.\n");
    if (i == 2) {
      EXPECT_NE(err.Text().find("Size of input data"), std::string::npos);
    }
  }
}

TEST_F(MemoryFileTest, SaveFailureIsReported) {
  memory_.Create(220, 220, 3);
  const fs::path nowhere = dir_ / "missing" / "am.dat";
  EXPECT_FALSE(vizmoro::SaveMemory(memory_, nowhere.c_str(), out_.get(), err_.get()));
  EXPECT_EQ(out_.Text(), "Could not save the memory to " + nowhere.string() + ".\n");

  CapturedFile out;
  EXPECT_TRUE(vizmoro::SaveMemory(memory_, file_.c_str(), out.get(), err_.get()));
  EXPECT_EQ(out.Text(), "");
  CvAssociativeMemory loaded;
  EXPECT_TRUE(loaded.LoadFromFile(file_.c_str()));
}

}  // namespace
