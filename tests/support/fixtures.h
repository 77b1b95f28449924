#pragma once

// The devices, profiles and firmware packages the tests share.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/package_writer.h"
#include "sim/sim_device.h"

namespace vexo3::test {

// The default device with a first protocol word the update accepts (it
// refuses 0x100 and above), in the given mode.
sim::HandControllerConfig UpdatableConfig(sim::UnitMode mode = sim::UnitMode::Boot);
// A catalog that checks nothing: every command and parameter passes.
sim::HandControllerConfig WithEmptyCatalog(sim::HandControllerConfig cfg = {});

// A device in BOOT mode with every value of the report set, so that expected
// texts don't hang on the simulator's defaults.
inline constexpr const char* kBootProfile = R"({
  "chips": [ { "description": "Vexo-3 HandController", "serial": "VX300001", "usb_id": "0403:6015",
    "hand_controller": { "mode": "boot", "protocol_version": [5, 1],
      "unique_id": "VX3HC00000000001", "pcb_id": 2, "device_text": "bench unit",
      "firmware": { "status": 0, "flags": 4096, "version": 258, "size_blocks": 96,
                    "description": "Vexo-3 HC main firmware" },
      "camera": { "present": true, "mode": "boot", "protocol_version": [258, 1],
        "unique_id": "VX3CAM0000000001", "pcb_id": 1,
        "firmware": { "status": 0, "flags": 8192, "version": 260, "size_blocks": 128,
                      "description": "Vexo-3 Camera firmware" } } } } ] })";

// A record whose data is a simulator image (sim/sim_image.h) with the same
// version, flags and description: a unit that takes it reports them after.
sim::PackageRecord SimRecord(const std::string& kind, uint16_t version, uint16_t flags,
                             const std::string& description, uint32_t length, uint32_t variant = 1,
                             uint16_t startCode = 0);

// The command-line tests' package: HandController 02.00 in 20000 bytes (five
// chunks), Camera 02.01 in 30000 bytes (eight chunks).
std::vector<sim::PackageRecord> CliPackage(uint16_t hcFlags = 0x1000, bool withCamera = true);

}  // namespace vexo3::test
