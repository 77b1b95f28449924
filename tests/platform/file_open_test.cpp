#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/console.h"
#include "platform/file_open.h"

namespace vexo3 {
namespace {

namespace fs = std::filesystem;

// A fresh folder for one test, removed with the object; its path in UTF-8.
class Scratch {
 public:
  Scratch() {
    const std::string name = "vexo3-platform-" + std::to_string(std::random_device()());
    dir_ = fs::temp_directory_path() / name;
    fs::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& utf8Name) const {
    const std::u8string u8 = dir_.u8string();
    return std::string(u8.begin(), u8.end()) + "/" + utf8Name;
  }
  // Writes through the path object, so a test doesn't lean on the code under test.
  void Write(const std::string& utf8Name, const std::string& text) const {
    std::ofstream(PathFromUtf8(Path(utf8Name)), std::ios::binary) << text;
  }

 private:
  fs::path dir_;
};

std::string ReadAll(std::FILE* f) {
  std::string text;
  char buffer[256];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    text.append(buffer, n);
  return text;
}

TEST(OpenForReading, WhatOpensAndWhatDoesNot) {
  Scratch s;
  s.Write("plain.bin", "a\r\nb\n");
  s.Write("n\xC3\xA4me \xE2\x82\xAC.bin", "wide");  // "näme €.bin"
  fs::create_directories(PathFromUtf8(s.Path("folder.bin")));
  struct Row {
    const char* name;
    std::string path;
    const char* content;  // nullptr: must not open
  };
  // clang-format off
  const Row rows[] = {
    {"plain file, bytes as they are", s.Path("plain.bin"),                  "a\r\nb\n"},
    {"name outside ASCII",            s.Path("n\xC3\xA4me \xE2\x82\xAC.bin"), "wide"},
    {"missing",                       s.Path("missing.bin"),                nullptr},
    {"directory",                     s.Path("folder.bin"),                 nullptr},
    {"empty path",                    "",                                   nullptr},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::FILE* f = OpenForReading(row.path);
    if (row.content == nullptr) {
      EXPECT_EQ(f, nullptr);
      if (f != nullptr)
        std::fclose(f);
      continue;
    }
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ReadAll(f), row.content);
    std::fclose(f);
  }
}

// The simulator's state file is written beside and then moved over the old
// one; the old one is there from the second run on.
TEST(ReplaceExistingFile, ReplacesAnExistingFileAndKeepsTheSourceOnFailure) {
  Scratch s;
  s.Write("state.json.tmp", "new");
  s.Write("st\xC3\xA4te.json", "old");
  ASSERT_TRUE(ReplaceExistingFile(s.Path("state.json.tmp"), s.Path("st\xC3\xA4te.json")));
  std::ifstream in(PathFromUtf8(s.Path("st\xC3\xA4te.json")), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "new");
  EXPECT_FALSE(fs::exists(PathFromUtf8(s.Path("state.json.tmp"))));

  s.Write("orphan.tmp", "x");
  EXPECT_FALSE(ReplaceExistingFile(s.Path("orphan.tmp"), s.Path("no/such/folder/state.json")));
  EXPECT_TRUE(fs::exists(PathFromUtf8(s.Path("orphan.tmp"))));
}

// The null device is a character device but no terminal: a program whose
// input is the null device must not ask questions.
TEST(IsTerminal, NullDeviceAndFilesAreNot) {
#ifdef _WIN32
  const char* nullDevice = "NUL";
#else
  const char* nullDevice = "/dev/null";
#endif
  std::FILE* null = std::fopen(nullDevice, "rb");
  ASSERT_NE(null, nullptr);
  EXPECT_FALSE(IsTerminal(null));
  std::fclose(null);
  Scratch s;
  s.Write("f", "x");
  std::FILE* file = OpenForReading(s.Path("f"));
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fclose(file);
}

}  // namespace
}  // namespace vexo3
