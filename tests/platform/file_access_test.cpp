#include "platform/file_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace vexo3
