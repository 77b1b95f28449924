#include "sim/units/camera.h"

#include "sim/units/sim_codec.h"
#include "sim/units/unit_commands.h"

namespace vexo3::sim {

SimCamera::SimCamera(const CameraConfig& config)
    : present_(config.present),
      mode_(config.mode),
      protocolVersion_(config.protocolVersion),
      protocolVersion2_(config.protocolVersion2),
      uniqueId_(config.uniqueId),
      pcbId_(config.pcbId),
      update_(config.firmware, config.update) {}

uint8_t SimCamera::Start() {
  if (!present_)
    return 1;
  if (update_.Config().refuseStart)
    return 2;
  started_ = true;
  return 0;
}

void SimCamera::Stop() {
  update_.End();
  started_ = false;
}

bool SimCamera::Answer(uint8_t command, uint8_t parameter, std::span<const uint8_t> data,
                       std::vector<uint8_t>* out) {
  const bool boot = mode_ == UnitMode::Boot;
  if (command == kCmdIdentity) {
    switch (parameter) {
      case kParMode: {
        const uint16_t top = boot ? 0xB000 : 0x0000;
        PutU16(out, static_cast<uint16_t>(top | (protocolVersion_ & 0x0FFF)));
        PutU16(out, protocolVersion2_);
        return true;
      }
      case kParUniqueId:
        *out = IdBytes(uniqueId_);
        return true;
      case kParPcbId:
        out->push_back(pcbId_);
        return true;
    }
    return false;
  }
  if (command == kCmdFirmware) {
    switch (parameter) {
      case kParFirmwareInfo:
        *out = FirmwareBytes(update_.Firmware().value_or(StatusOnly(kFirmwareAbsent)));
        return true;
      case kParOpen:
        if (!boot || update_.Config().refuseOpen) {
          out->push_back(1);
          return true;
        }
        update_.Open();
        out->push_back(0);
        return true;
      case kParData:
        out->push_back(update_.TakeChunk(data, update_.Opened()));
        out->push_back(0);
        return true;
    }
  }
  return false;
}

}  // namespace vexo3::sim
