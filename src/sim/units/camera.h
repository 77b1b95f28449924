#pragma once

// The simulated Camera. The host reaches it only through its HandController,
// which starts and stops it (244/193, 244/192) and relays inner commands to
// it (244/60); the Camera answers those with bare data, which the
// HandController sends on as the bulk block of its relay answer.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "sim/scenario/scenario.h"
#include "sim/units/update_procedure.h"

namespace vexo3::sim {

class SimCamera {
 public:
  explicit SimCamera(const CameraConfig& config);

  bool Present() const { return config_.present; }
  bool Started() const { return started_; }
  // 244/193: 0 started, 1 no Camera, 2 refused.
  uint8_t Start();
  // 244/192. Ending access after an update makes the new image the Camera's
  // firmware.
  void Stop();

  // The Camera's answer to a relayed inner command with its data, in *out.
  // False for a command or parameter the Camera doesn't know.
  bool Answer(uint8_t command, uint8_t parameter, std::span<const uint8_t> data,
              std::vector<uint8_t>* out);

  UnitMode Mode() const { return mode_; }
  void SetMode(UnitMode mode) { mode_ = mode; }
  std::pair<uint16_t, uint16_t> ProtocolWords() const {
    return {config_.protocolVersion, config_.protocolVersion2};
  }
  // Its firmware, flash and their persisted state.
  const UpdateProcedure& Update() const { return update_; }
  UpdateProcedure& Update() { return update_; }

 private:
  CameraConfig config_;  // its mode, firmware and update state are the members below
  UnitMode mode_;
  UpdateProcedure update_;
  bool started_ = false;
};

}  // namespace vexo3::sim
