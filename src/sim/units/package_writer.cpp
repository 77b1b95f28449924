#include "sim/units/package_writer.h"

#include <fstream>

#include "platform/file_open.h"
#include "sim/units/sim_codec.h"

namespace vexo3::sim {

std::vector<uint8_t> BuildPackage(std::span<const PackageRecord> records) {
  std::vector<uint8_t> out = {'V', 'X', '3', 'f', 'w', 0};
  for (const PackageRecord& r : records) {
    PutFixedText(&out, r.kind, 2);
    PutU16(&out, r.version);
    PutU16(&out, r.flags);
    PutU16(&out, r.startCode);
    PutFixedText(&out, r.description, 40);
    PutU32(&out, r.lengthField.value_or(static_cast<uint32_t>(r.data.size())));
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
