#pragma once

// Writes firmware package files for tests and demos. The updater itself only
// reads packages; this lives with the simulator.
//
// File: "VX3fw" 00, then records of a 52-byte header (kind[2], version u16,
// flags u16, startCode u16, description[40], length u32; little-endian) and
// the data.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexo3::sim {

struct PackageRecord {
  std::string kind = "HC";  // 2 bytes on disk ("HC", "CA"; others are skipped by loaders)
  uint16_t version = 0;
  uint16_t flags = 0;
  uint16_t startCode = 0;
  std::string description{};  // up to 40 bytes, NUL-padded
  std::vector<uint8_t> data{};
  // Written instead of data.size() when set (for broken files).
  std::optional<uint32_t> lengthField{};
};

std::vector<uint8_t> BuildPackage(std::span<const PackageRecord> records);
// Writes BuildPackage(records), cut to `truncateTo` bytes when given. False
// when the file can't be written.
bool WritePackage(const std::string& path, std::span<const PackageRecord> records,
                  std::optional<size_t> truncateTo = std::nullopt);

// The package both dialogs show in their screenshots: a HandController and
// a Camera image in the units' own convention, small enough to upload fast.
std::vector<PackageRecord> DemoPackage();

}  // namespace vexo3::sim
