#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace vexo3::test {

ScratchDir::ScratchDir() {
  std::random_device random;
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path p = temp / ("vexo3-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(p, ec))
      path_ = p.generic_string();
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!path_.empty())
    std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::Write(const std::string& name, const std::string& text) const {
  const std::string p = File(name);
  std::ofstream(p, std::ios::binary) << text;
  return p;
}

std::string ScratchDir::Package(const std::string& name,
                                std::span<const sim::PackageRecord> records) const {
  const std::string p = File(name);
  EXPECT_TRUE(sim::WritePackage(p, records)) << p;
  return p;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace vexo3::test
