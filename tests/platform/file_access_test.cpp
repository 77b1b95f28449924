#include "platform/file_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_snapshot.h"
#include "platform/output_file.h"

namespace vexo3 {
namespace {

namespace fs = std::filesystem;

struct Scratch {
  Scratch() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      const fs::path p = fs::temp_directory_path() / ("vexo3-files-" + std::to_string(random()));
      if (fs::create_directory(p))
        path = p.generic_string();
    }
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

// Reads, the lock and same-file tests run through the programs (tests/cli).

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

std::string Contents(const std::string& path) {
  std::string text;
  std::string error;
  (void)ReadRegularFile(path, 1 << 20, &text, &error);
  return text;
}

TEST(OutputFile, Table) {
  Scratch dir;
  const std::string old = dir.Write("old.txt", "old text");
  const std::string log = dir.Write("log.txt", "line 1\n");
  fs::create_directory(dir.File("folder"));
#ifndef _WIN32
  // A state file not saved yet, and a link to where it will be.
  fs::create_symlink(dir.File("state.json"), dir.File("to-state"));
#endif
  const std::vector<NamedFile> others = {{"the state file", dir.File("state.json")}};
  using Result = OutputFile::OpenResult;
  using Mode = OutputFile::Mode;
  const struct {
    const char* name;
    std::string path;
    Mode mode;
    Result result;
    std::string why;       // sameAs or reason
    std::string contents;  // of path after writing "new" ("-": not checked)
  } cases[] = {
      // clang-format off
      {"a new file", dir.File("new.txt"),  Mode::kReplace, Result::kOpened,  "",             "new"},
      {"replaces",   old,                  Mode::kReplace, Result::kOpened,  "",             "new"},
      {"appends",    log,                  Mode::kAppend,  Result::kOpened,  "",             "line 1\nnew"},
      {"a folder",   dir.File("folder"),   Mode::kReplace, Result::kRefused, kFolderNotFile, "-"},
#ifndef _WIN32
      {"a link to a file not there yet", dir.File("to-state"), Mode::kReplace, Result::kSameFile, "the state file", "-"},
#endif
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OutputFile file;
    std::string sameAs;
    std::string reason;
    ASSERT_EQ(file.Open(c.path, c.mode, others, &sameAs, &reason), c.result) << reason;
    EXPECT_EQ(c.result == Result::kSameFile ? sameAs : reason, c.why);
    file.Stream() << "new" << std::flush;
    EXPECT_EQ(file.Close(), c.result == Result::kOpened) << file.FailureReason();
    if (c.contents != "-") {
      EXPECT_EQ(Contents(c.path), c.contents);
    }
  }
  EXPECT_FALSE(fs::exists(dir.File("state.json")));  // nothing created for a refusal
}

TEST(FileSnapshot, TellsAVersionFromAMixture) {
  // Three blocks' worth, half of it read before the file is touched.
  const std::string versionA(200000, 'a');
  const struct {
    const char* name;
    std::function<void(const std::string& path)> touch;
    bool unchanged;
  } cases[] = {
      // clang-format off
      {"left alone",             [](const std::string&) {},                                     true},
      {"rewritten in place",     [](const std::string& p) {
                                   std::FILE* f = std::fopen(p.c_str(), "r+b");
                                   std::fputs("b", f);
                                   std::fclose(f); },                                            false},
      {"appended to",            [](const std::string& p) {
                                   std::ofstream(p, std::ios::app | std::ios::binary) << "z"; }, false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    const std::string path = dir.Write("p.bin", versionA);
    FileSnapshot file;
    std::string reason;
    ASSERT_TRUE(file.Open(path, &reason)) << reason;
    std::vector<uint8_t> half(100000);
    ASSERT_EQ(file.Read(half), half.size());
    c.touch(path);
    EXPECT_EQ(file.Unchanged(), c.unchanged);
  }
}

}  // namespace
}  // namespace vexo3
