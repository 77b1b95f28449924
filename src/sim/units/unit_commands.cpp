#include "sim/units/unit_commands.h"

#include "sim/units/sim_codec.h"
#include "sim/units/update_procedure.h"

namespace vexo3::sim {

std::vector<uint8_t> FirmwareBytes(const FirmwareConfig& fw) {
  std::vector<uint8_t> out = {fw.status};
  if (fw.status != 0)
    return out;
  PutU16(&out, fw.flags);
  PutU16(&out, fw.version);
  PutU32(&out, fw.sizeBlocks);
  PutFixedText(&out, fw.description, 40);
  return out;
}

std::vector<uint8_t> IdBytes(const std::string& uniqueId) {
  std::vector<uint8_t> out;
  PutU32(&out, 0x00335856);  // "VX3"
  const auto* p = reinterpret_cast<const uint8_t*>(uniqueId.data());
  PutU32(&out, static_cast<uint32_t>(FlashDigest({p, uniqueId.size()})));
  PutFixedText(&out, uniqueId, 16);
  return out;
}

}  // namespace vexo3::sim
