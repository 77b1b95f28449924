#include "support/fixtures.h"

#include "sim/sim_image.h"

namespace vexo3::test {

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
