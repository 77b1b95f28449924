#include "platform/file_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace vexo3 {
namespace {

namespace fs = std::filesystem;

struct Scratch {
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "vexo3-files-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
      path = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
    return File(name);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path))
      names.push_back(e.path().filename().string());
    return names;
  }
  std::string path;
};

TEST(ReadRegularFile, RefusesWhatIsNoFile) {
  Scratch dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    ReadFileResult result;
    const char* error;  // for kRefused
    const char* text;   // for kOk
  } cases[] = {
      {dir.Write("ok.json", "{}"), ReadFileResult::kOk, "", "{}"},
      {dir.Write("empty.json", ""), ReadFileResult::kOk, "", ""},
      {dir.Write("limit.json", std::string(64, 'x')), ReadFileResult::kOk, "",
       "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
      {dir.Write("big.json", std::string(65, 'x')), ReadFileResult::kRefused,
       "larger than 64 bytes", ""},
      {dir.File("missing.json"), ReadFileResult::kMissing, "", ""},
      {fifo, ReadFileResult::kRefused, "not a regular file", ""},  // must not wait for a writer
      {"/dev/zero", ReadFileResult::kRefused, "not a regular file", ""},
      {dir.path, ReadFileResult::kRefused, "not a regular file", ""},
      {dir.File("missing/x.json"), ReadFileResult::kMissing, "", ""},
      {dir.File("ok.json/x"), ReadFileResult::kRefused, "Not a directory", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string text = "untouched";
    std::string error;
    EXPECT_EQ(ReadRegularFile(c.path, 64, &text, &error), c.result);
    if (c.result == ReadFileResult::kOk) {
      EXPECT_EQ(text, c.text);
    } else {
      EXPECT_EQ(text, "untouched");
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(WriteFileAtomically, ReplacesWholeOrNotAtAll) {
  Scratch dir;
  const std::string path = dir.Write("state.json", "old");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "new contents", &error)) << error;
  std::string text;
  ASSERT_EQ(ReadRegularFile(path, 1024, &text, &error), ReadFileResult::kOk);
  EXPECT_EQ(text, "new contents");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"state.json"});  // no temporary left

  // A folder that isn't there: the system's reason, nothing written.
  EXPECT_FALSE(WriteFileAtomically(dir.File("no/such.json"), "x", &error));
  EXPECT_EQ(error, "No such file or directory");
  // The target is a folder: the rename fails, the temporary goes.
  fs::create_directory(dir.File("sub"));
  EXPECT_FALSE(WriteFileAtomically(dir.File("sub"), "x", &error));
  EXPECT_EQ(error, "Is a directory");
  std::vector<std::string> names = dir.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"state.json", "sub"}));
}

TEST(WriteFileAtomically, TwoWritersSideBySideNeverCollide) {
  // Two programs saving the same state file: each save is whole, none fails.
  Scratch dir;
  const std::string path = dir.File("state.json");
  const std::string a(4000, 'a');
  const std::string b(3000, 'b');
  bool failed = false;
  auto writer = [&](const std::string& text) {
    for (int i = 0; i < 100; ++i) {
      std::string error;
      if (!WriteFileAtomically(path, text, &error))
        failed = true;
    }
  };
  std::thread first(writer, a);
  std::thread second(writer, b);
  first.join();
  second.join();
  EXPECT_FALSE(failed);
  std::string text;
  std::string error;
  ASSERT_EQ(ReadRegularFile(path, 1 << 20, &text, &error), ReadFileResult::kOk);
  EXPECT_TRUE(text == a || text == b);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"state.json"});
}

TEST(FileLock, OneHolderAtATime) {
  Scratch dir;
  const std::string path = dir.File("state.json");
  std::string error;
  {
    FileLock first;
    ASSERT_EQ(first.TryLock(path, &error), FileLock::Result::kLocked) << error;
    FileLock second;  // flock locks belong to the open file: a second one conflicts
    EXPECT_EQ(second.TryLock(path, &error), FileLock::Result::kBusy);
    EXPECT_FALSE(second.Held());
  }
  FileLock again;  // released with its holder
  EXPECT_EQ(again.TryLock(path, &error), FileLock::Result::kLocked);
  FileLock nowhere;
  EXPECT_EQ(nowhere.TryLock(dir.File("no/such.json"), &error), FileLock::Result::kFailed);
  EXPECT_EQ(error, "No such file or directory");
}

TEST(IsSameFile, ByInodeOrByPath) {
  Scratch dir;
  const std::string file = dir.Write("p.bin", "x");
  fs::create_directory(dir.File("sub"));
  fs::create_symlink(file, dir.File("link.bin"));
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {file, file, true},
      {file, dir.File("sub/../p.bin"), true},
      {file, dir.File("link.bin"), true},
      {file, dir.Write("q.bin", "x"), false},
      {dir.File("new.txt"), dir.File("sub/../new.txt"), true},  // neither exists yet
      {dir.File("new.txt"), file, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    EXPECT_EQ(IsSameFile(c.a, c.b), c.same);
  }
}

}  // namespace
}  // namespace vexo3
