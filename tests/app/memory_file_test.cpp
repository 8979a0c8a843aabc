#include "memory_file.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
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
  EXPECT_TRUE(start.ready);
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
  const std::string reasons[] = {
      "not a memory file, or cut short", "not a memory file, or cut short",
      "its data was refused: Size of input data do not match to actual settings"};
  for (int i = 0; i < 3; ++i) {
    WriteFile(file_, contents[i]);
    CvAssociativeMemory memory;
    CapturedFile out, err;
    const vizmoro::MemoryFileStart start =
        vizmoro::LoadOrCreateMemory(memory, file_.c_str(), out.get(), err.get());
    EXPECT_FALSE(start.loaded);
    EXPECT_TRUE(start.ready);
    EXPECT_EQ(start.backupName, (dir_ / backups[i]).string());
    EXPECT_EQ(ReadFile(dir_ / backups[i]), contents[i]) << "the old file is kept unchanged";
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_EQ(memory.GetSize(), cv::Size(220, 220));
    EXPECT_EQ(out.Text(), "Memory file " + file_.string() + " cannot be loaded (" + reasons[i] +
                              "): kept as " + start.backupName + ", starting a new memory.\n");
    if (i == 2) {
      EXPECT_NE(err.Text().find("Size of input data"), std::string::npos);
    }
  }
}

TEST_F(MemoryFileTest, WhenNoBackupNameIsLeftTheRunIsNotReady) {
  WriteFile(file_, "not a memory file");
  for (int i = 0; i < 100; ++i)
    WriteFile(dir_ / (i == 0 ? "am.dat.bak" : "am.dat.bak." + std::to_string(i)), "older");
  const vizmoro::MemoryFileStart start = Load();
  EXPECT_FALSE(start.ready);
  EXPECT_EQ(ReadFile(file_), "not a memory file");
  EXPECT_EQ(out_.Text(), "Memory file " + file_.string() +
                             " cannot be loaded (not a memory file, or cut short) nor set aside: "
                             "the backup names " +
                             file_.string() + ".bak to " + file_.string() +
                             ".bak.99 are all taken.\n");
}

TEST_F(MemoryFileTest, FilesThatAreNoMemoryFilesStopTheRunBeforeItStarts) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    std::string why;
  } cases[] = {
      {"folder", [](const fs::path& p) { fs::create_directory(p); }, "it is a folder"},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       "it is not a regular file but a FIFO, a device or a socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const fs::path file = dir / "am.dat";
    c.make(file);
    CapturedFile out;
    EXPECT_FALSE(vizmoro::PrepareMemoryFile(file.c_str(), out.get()).held());
    EXPECT_EQ(out.Text(), "Cannot use the memory file " + file.string() + ": " + c.why + ".\n");
    EXPECT_EQ(fs::status(file).type(),
              c.what == std::string("folder") ? fs::file_type::directory : fs::file_type::fifo);
  }
}

TEST_F(MemoryFileTest, OnlyOneRunAtATimeHoldsTheFile) {
  const vizmoro::MemoryFileLock first = vizmoro::PrepareMemoryFile(file_.c_str(), out_.get());
  ASSERT_TRUE(first.held()) << out_.Text();
  EXPECT_EQ(out_.Text(), "");
  CapturedFile out;
  EXPECT_FALSE(vizmoro::PrepareMemoryFile(file_.c_str(), out.get()).held());
  EXPECT_EQ(out.Text(), "Cannot use the memory file " + file_.string() +
                            ": another run holds its lock " + file_.string() + ".lock.\n");
}

TEST_F(MemoryFileTest, SaveFailureIsReportedWithItsReason) {
  memory_.Create(220, 220, 3);
  const fs::path nowhere = dir_ / "missing" / "am.dat";
  EXPECT_FALSE(vizmoro::SaveMemory(memory_, nowhere.c_str(), out_.get(), err_.get()));
  EXPECT_EQ(out_.Text(),
            "Could not save the memory to " + nowhere.string() + ": No such file or directory.\n");

  CapturedFile out;
  EXPECT_TRUE(vizmoro::SaveMemory(memory_, file_.c_str(), out.get(), err_.get()));
  EXPECT_EQ(out.Text(), "");
  CvAssociativeMemory loaded;
  EXPECT_TRUE(loaded.LoadFromFile(file_.c_str()));
}

}  // namespace
