#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "sim/units/sim_image.h"

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

sim::HandControllerConfig UpdatableConfig(sim::UnitMode mode) {
  sim::HandControllerConfig cfg;
  cfg.protocolVersion = 0x00FF;
  cfg.mode = mode;
  return cfg;
}

sim::HandControllerConfig WithEmptyCatalog(sim::HandControllerConfig cfg) {
  cfg.catalogBlock = std::vector<uint8_t>{0x00};
  return cfg;
}

sim::PackageRecord SimRecord(const std::string& kind, uint16_t version, uint16_t flags,
                             const std::string& description, uint32_t length, uint32_t variant,
                             uint16_t startCode) {
  return sim::PackageRecord{
      kind,        version,     flags,
      startCode,   description, sim::MakeSimImage(version, flags, description, length, variant),
      std::nullopt};
}

std::vector<sim::PackageRecord> CliPackage(uint16_t hcFlags, bool withCamera) {
  std::vector<sim::PackageRecord> records = {
      SimRecord("HC", 0x0200, hcFlags, "HC test firmware", 20000, 1, 0x5A01)};
  if (withCamera)
    records.push_back(SimRecord("CA", 0x0201, 0x2000, "Camera test firmware", 30000, 2, 0x5A02));
  return records;
}

}  // namespace vexo3::test
