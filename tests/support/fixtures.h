#pragma once

// What the tests share besides the rigs: byte strings, scratch folders, and
// the devices, profiles and firmware packages they set up.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "sim/units/hand_controller.h"
#include "sim/units/package_writer.h"

namespace vexo3::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A fresh scratch folder for one test; removed with the object. ctest runs
// test processes side by side: each folder has a name of its own.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes text into a file of the folder and returns its path.
  std::string Write(const std::string& name, const std::string& text) const;
  // Writes a firmware package (sim::WritePackage) and returns its path; a
  // file that can't be written fails the test.
  std::string Package(const std::string& name, std::span<const sim::PackageRecord> records) const;

 private:
  std::string path_;
};

// The whole file, or "" when it can't be read.
std::string ReadText(const std::string& path);

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

// Profiles the simulator refuses, each with the start of its error: the
// key at fault and what was expected of it.
struct BadProfile {
  const char* text;
  const char* error;
};
inline constexpr BadProfile kBadProfiles[] = {
    {R"({"chips":[{"hand_controller":{"pcb_id":"two"}}]})",
     "chips[0].hand_controller.pcb_id: expected a number"},
    {R"({"chips":[{"hand_controller":{"pcb_id":300}}]})",
     "chips[0].hand_controller.pcb_id: expected a number from 0 to 255"},
    {R"({"chips":[{"hand_controller":{"pcb_id":1.5}}]})",
     "chips[0].hand_controller.pcb_id: expected a number from 0 to 255"},
    {R"({"chip":[]})", "chip: unknown key; did you mean \"chips\"?"},
    {R"({"chips":[{"hand_controller":{"camera":{"colour":1}}}]})",
     "chips[0].hand_controller.camera.colour: unknown key"},
    {R"({"chips":[{"serial":"A"},{"hand_controller":{"colour":1}}]})",
     "chips[1].hand_controller.colour: unknown key"},
    {R"({"chips":[{"hand_controller":{"mode":"sleep"}}]})",
     "chips[0].hand_controller.mode: expected \"boot\" or \"app\""},
    {R"({"chips":[{"hand_controller":{"protocol_version":[1]}}]})",
     "chips[0].hand_controller.protocol_version: expected two numbers [w1, w2]"},
    {R"({"chips":[{"hand_controller":{"protocol_version":[1, 65536]}}]})",
     "chips[0].hand_controller.protocol_version[1]: expected a number from 0 to 65535"},
    {R"({"chips":[{"hand_controller":{"firmware":{"version":-1}}}]})",
     "chips[0].hand_controller.firmware.version: expected a number from 0 to 65535"},
    {R"({"chips":[{"hand_controller":{"firmware":{"size":1}}}]})",
     "chips[0].hand_controller.firmware.size: unknown key"},
    {R"({"chips":[{"hand_controller":{"camera":{"firmware":{"status":"x"}}}}]})",
     "chips[0].hand_controller.camera.firmware.status: expected a number"},
    {R"({"chips":[{"hand_controller":{"unique_id":"12345678901234567"}}]})",
     "chips[0].hand_controller.unique_id: expected a text of at most 16 characters"},
    {R"({"chips":[{"hand_controller":{"update":{"no_space":"yes"}}}]})",
     "chips[0].hand_controller.update.no_space: expected true or false"},
    {R"({"chips":[{"usb_id":"0403-6015"}]})", "chips[0].usb_id: expected \"vvvv:pppp\""},
    {R"({"chips":[{"usb_id":"04g3:6015"}]})", "chips[0].usb_id: expected \"vvvv:pppp\""},
    {R"({"chips":{}})", "chips: expected an array"},
    {R"({"chips":[7]})", "chips[0]: expected an object"},
    {R"({"faults":[{"unit":"lens","action":"timeout"}]})",
     "faults[0].unit: expected \"hc\" or \"camera\""},
    {R"({"faults":[{"unit":"hc","action":"explode"}]})", "faults[0].action: expected"},
    {R"({"faults":[{"unit":"hc"}]})", "faults[0].action: missing"},
    {R"({"faults":[{"unit":"hc","action":"timeout","command":256}]})",
     "faults[0].command: expected a number from 0 to 255"},
    {R"({"state_file": 3})", "state_file: expected a file name"},
    {R"([1])", "profile: expected an object"},
    {R"({"chips": [)",
     "not a simulator profile: not JSON: it ends too early, at line 1, column 12"},
    {"Vexo-3 profile\n", "not a simulator profile: not JSON: unexpected 'V' at line 1, column 1"},
    {"{\n  \"chips\": [],\n  \"f\u00e4ults\" 1\n}",
     "not a simulator profile: not JSON: unexpected '1' at line 3, column 12"},
};

// A record whose data is a simulator image (sim/sim_image.h) with the same
// version, flags and description: a unit that takes it reports them after.
sim::PackageRecord SimRecord(const std::string& kind, uint16_t version, uint16_t flags,
                             const std::string& description, uint32_t length, uint32_t variant = 1,
                             uint16_t startCode = 0);

// The command-line tests' package: HandController 02.00 in 20000 bytes (five
// chunks), Camera 02.01 in 30000 bytes (eight chunks).
std::vector<sim::PackageRecord> CliPackage(uint16_t hcFlags = 0x1000, bool withCamera = true);

}  // namespace vexo3::test
