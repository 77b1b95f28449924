#include "sim/units/package_writer.h"

#include <fstream>

#include "platform/file_open.h"
#include "sim/units/sim_codec.h"
#include "sim/units/sim_image.h"

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

std::vector<PackageRecord> DemoPackage() {
  std::vector<PackageRecord> records(2);
  records[0].kind = "HC";
  records[0].version = 0x0110;
  records[0].flags = 0x2000 | (2 << 5);
  records[0].startCode = 0x0101;
  records[0].description = "Vexo-3 HC main firmware";
  records[0].data = MakeSimImage(0x0110, 0x2000, "Vexo-3 HC main firmware", 20000);
  records[1].kind = "CA";
  records[1].version = 0x0105;
  records[1].flags = 0x1000;
  records[1].startCode = 0x0202;
  records[1].description = "Vexo-3 Camera firmware";
  records[1].data = MakeSimImage(0x0105, 0x1000, "Vexo-3 Camera firmware", 12000);
  return records;
}

}  // namespace vexo3::sim
