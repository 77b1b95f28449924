// Writes the starting corpus of every fuzz target from the simulated device and
// the package writer, so every sample is a valid input of today's formats:
//   fuzz_corpus_maker <corpus dir>    (writes <dir>/<target>/<name>)

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "link/trace_d2xx.h"
#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;
using vexo3::fuzz::AnswerOperation;

bool Write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(dir);
  std::FILE* f = std::fopen((dir / name).c_str(), "wb");
  if (f == nullptr)
    return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Runs the operation against the simulated HandController and turns what the
// host read after each of its writes into the answer fuzzer's chunk format.
Bytes RecordAnswers(AnswerOperation op) {
  vexo3::VirtualClock clock;
  vexo3::sim::SimHandController hc;
  vexo3::sim::SimulatedBus bus(clock);
  vexo3::sim::SimChip& chip = bus.AddChip(vexo3::sim::ChipInfo{}, &hc);
  int rc = 0;
  {
    vexo3::DeviceSession session(bus, clock);
    rc = vexo3::fuzz::RunOperation(op, session);
  }
  if (rc != 0)
    std::fprintf(stderr, "operation %d: result %d against the simulated device\n",
                 static_cast<int>(op), rc);

  std::vector<Bytes> chunks;
  for (const vexo3::sim::TranscriptEntry& e : chip.Transcript()) {
    if (e.direction == vexo3::sim::TranscriptEntry::Direction::HostToDevice) {
      chunks.emplace_back();
    } else if (!chunks.empty()) {
      chunks.back().insert(chunks.back().end(), e.bytes.begin(), e.bytes.end());
    }
  }
  Bytes out{static_cast<uint8_t>(op)};
  for (const Bytes& c : chunks) {
    out.push_back(static_cast<uint8_t>(c.size()));
    out.push_back(static_cast<uint8_t>(c.size() >> 8));
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

// The trace fuzzer's input: the operation's byte, then the wire trace of the
// operation against the simulated HandController.
Bytes RecordTrace(AnswerOperation op) {
  vexo3::VirtualClock clock;
  vexo3::sim::SimHandController hc;
  vexo3::sim::SimulatedBus bus(clock);
  bus.AddChip(vexo3::sim::ChipInfo{}, &hc);
  std::ostringstream text;
  {
    vexo3::TraceD2xx trace(bus, clock, text);
    vexo3::DeviceSession session(trace, clock);
    (void)vexo3::fuzz::RunOperation(op, session);
  }
  Bytes out{static_cast<uint8_t>(op)};
  const std::string s = text.str();
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  bool ok = true;

  // Answer fuzzer: one sample per operation.
  const char* names[] = {"raw_exchange", "device_state", "firmware_info",
                         "start_camera", "stop_camera",  "camera_state",
                         "camera_fw",    "hc_upload",    "camera_upload"};
  for (uint8_t op = 0; op < static_cast<uint8_t>(AnswerOperation::kCount); ++op)
    ok &= Write(root / "answer", names[op], RecordAnswers(static_cast<AnswerOperation>(op)));

  // Traces: a query, an upload, the Camera through the relay.
  ok &= Write(root / "trace", "device_state", RecordTrace(AnswerOperation::kDeviceState));
  ok &= Write(root / "trace", "hc_upload", RecordTrace(AnswerOperation::kHcUpload));
  ok &= Write(root / "trace", "camera_state", RecordTrace(AnswerOperation::kCameraState));
  // Small traces with counts the program would make room for: at the bound,
  // past it, and the largest the format can spell.
  auto listing = [](const std::string& lines) {
    Bytes out{static_cast<uint8_t>(AnswerOperation::kDeviceState)};
    const std::string text = "vexo3-trace 1\n" + lines;
    out.insert(out.end(), text.begin(), text.end());
    return out;
  };
  ok &= Write(root / "trace", "device_count_at_bound",
              listing("+0.000000 0us FT_CreateDeviceInfoList() = FT_OK, 4096 devices\n"
                      "+0.000010 0us FT_GetDeviceInfoList(room 4096) = FT_OK, 0 devices\n"));
  ok &= Write(root / "trace", "device_count_past_bound",
              listing("+0.000000 0us FT_CreateDeviceInfoList() = FT_OK, 4097 devices\n"));
  ok &= Write(root / "trace", "device_room_hostile",
              listing("+0.000000 0us FT_CreateDeviceInfoList() = FT_OK, 1 devices\n"
                      "+0.000010 0us FT_GetDeviceInfoList(room 4294967295) = FT_OK, "
                      "4294967295 devices\n"));

  // Catalog: the device's block, an empty one, one command without parameters.
  ok &= Write(root / "catalog", "builtin", vexo3::sim::BuiltInCatalogBlock());
  ok &= Write(root / "catalog", "empty", Bytes{0x00});
  ok &= Write(root / "catalog", "one_command", Bytes{0x01, 0xF8, 0x02, 0x01, 0x00, 0x10, 0x00});

  // Packages: both units, one unit, an empty image, header only.
  using vexo3::sim::PackageRecord;
  const PackageRecord hc{"HC", 0x0102, 0x1040, 0x0100, "HC firmware", Bytes{1, 2, 3, 4}, {}};
  const PackageRecord ca{"CA", 0x0104, 0x2000, 0x0200, "Camera firmware", Bytes{5, 6, 7}, {}};
  const PackageRecord empty{"HC", 0x0001, 0, 0, "", Bytes{}, {}};
  const PackageRecord both[] = {hc, ca};
  ok &= Write(root / "package", "both", vexo3::sim::BuildPackage(both));
  ok &= Write(root / "package", "hc_only", vexo3::sim::BuildPackage(std::span(&hc, 1)));
  ok &= Write(root / "package", "empty_image", vexo3::sim::BuildPackage(std::span(&empty, 1)));
  ok &= Write(root / "package", "header_only", vexo3::sim::BuildPackage({}));

  // Profiles.
  ok &= Write(root / "profile", "empty", Text("{}"));
  ok &= Write(root / "profile", "app_mode",
              Text(R"({"chips":[{"serial":"P1","hand_controller":{"mode":"app","pcb_id":9}}]})"));
  ok &= Write(root / "profile", "full", Text(R"({
  "state_file": "state.json",
  "chips": [
    { "description": "Vexo-3 Prototype", "serial": "P1", "usb_id": "0403:6001",
      "hand_controller": { "mode": "boot", "protocol_version": [5, 1], "unique_id": "U",
        "pcb_id": 2, "device_text": "caf\u00e9", "firmware": null,
        "update": { "not_ready_polls": 3, "no_space": false, "refuse_open": false,
                    "refuse_start": false },
        "camera": { "present": true, "mode": "boot", "protocol_version": [1, 2],
                    "unique_id": "C", "pcb_id": 4, "firmware": { "status": 15 } } } },
    { "hand_controller": null } ],
  "faults": [ { "unit": "camera", "command": 247, "parameter": 218, "occurrence": 3,
                "action": "status:9" },
              { "unit": "hc", "command": 248, "parameter": 1, "action": "corrupt-byte:0x03" } ]
})"));
  ok &= Write(root / "profile", "no_device", Text(R"({"chips":[{"hand_controller":null}]})"));
  // Lists at their bound: a fault list is copied to every chip.
  std::string many = R"({"chips":[)";
  for (int i = 0; i < 256; ++i)
    many += std::string(i ? "," : "") + R"({"hand_controller":null})";
  many += R"(],"faults":[)";
  for (int i = 0; i < 256; ++i)
    many += std::string(i ? "," : "") + R"({"action":"timeout"})";
  ok &= Write(root / "profile", "lists_at_bound", Text(many + "]}"));
  return ok ? 0 : 1;
}
