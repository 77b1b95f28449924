#include "sim/units/camera.h"

#include "sim/units/sim_codec.h"
#include "sim/units/unit_commands.h"

namespace vexo3::sim {

SimCamera::SimCamera(const CameraConfig& config)
    : config_(config), mode_(config.mode), update_(config.firmware, config.update) {}

uint8_t SimCamera::Start() {
  if (!config_.present)
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
        PutU16(out, static_cast<uint16_t>(top | (config_.protocolVersion & 0x0FFF)));
        PutU16(out, config_.protocolVersion2);
        return true;
      }
      case kParUniqueId:
        *out = IdBytes(config_.uniqueId);
        return true;
      case kParPcbId:
        out->push_back(config_.pcbId);
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
