#include "sim/package_writer.h"

#include <fstream>

#include "platform/file_open.h"

namespace vexo3::sim {

namespace {

void Put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace

std::vector<uint8_t> BuildPackage(std::span<const PackageRecord> records) {
  std::vector<uint8_t> out = {'V', 'X', '3', 'f', 'w', 0};
  for (const PackageRecord& r : records) {
    for (size_t i = 0; i < 2; ++i)
      out.push_back(i < r.kind.size() ? r.kind[i] : 0);
    Put16(&out, r.version);
    Put16(&out, r.flags);
    Put16(&out, r.startCode);
    for (size_t i = 0; i < 40; ++i) {
      out.push_back(i < r.description.size() ? static_cast<uint8_t>(r.description[i]) : 0);
    }
    const uint32_t length = r.lengthField.value_or(static_cast<uint32_t>(r.data.size()));
    for (int shift = 0; shift < 32; shift += 8)
      out.push_back(static_cast<uint8_t>(length >> shift));
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  return out;
}

bool WritePackage(const std::string& path, std::span<const PackageRecord> records,
                  std::optional<size_t> truncateTo) {
  std::vector<uint8_t> bytes = BuildPackage(records);
  if (truncateTo && *truncateTo < bytes.size())
    bytes.resize(*truncateTo);
  std::ofstream file(PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  if (!file)
    return false;
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace vexo3::sim
