// Every exchange of every device operation against every fault the simulated
// device can inject. The expected outcome of each cell comes from the small
// tables below, not from the code under test.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "device/camera.h"
#include "device/hand_controller.h"
#include "sim/units/sim_image.h"
#include "support/sim_rig.h"

namespace vexo3 {
namespace {

using sim::FaultAction;
using sim::Unit;

enum class Op {
  Handshake,  // the first ReadDeviceMode of a fresh session
  DeviceMode,
  UniqueId,
  PcbId,
  DeviceText,
  FirmwareInfo,
  StartCamera,
  StopCamera,
  CameraState,
  CameraFirmwareInfo,
  HcUpload,
  CameraUpload,
};

enum class Kind {
  Handshake,  // fixed-string answers of the connection handshake
  Frame,      // an ordinary HandController command and answer
  Relay,      // a command relayed to the Camera through 244/60
};

enum class Chunk { None, First, Middle, Last };

struct Exchange {
  const char* name;
  Op op;
  Kind kind;
  Unit unit;
  uint8_t command;
  uint8_t parameter;
  uint32_t nth;       // occurrence of (unit, command, parameter) within the operation
  uint32_t relayNth;  // Relay: occurrence of HC 244/60 within the operation
  int32_t readTimeoutMs;
  Chunk chunk;
};

constexpr int32_t kQueryRead = 1000;  // session default
constexpr int32_t kStartRead = 5000;
constexpr int32_t kStopRead = 3000;
constexpr int32_t kUploadRead = 3000;

// Three chunks: 4,096, 4,096 and 100 bytes.
constexpr uint32_t kImageLength = 2 * 4096 + 100;

const Exchange kExchanges[] = {
    {"handshake version", Op::Handshake, Kind::Handshake, Unit::HandController, 248, 1, 1, 0, 2000,
     Chunk::None},
    {"handshake catalog", Op::Handshake, Kind::Handshake, Unit::HandController, 248, 10, 1, 0, 1000,
     Chunk::None},
    {"ReadDeviceMode", Op::DeviceMode, Kind::Frame, Unit::HandController, 248, 1, 1, 0, kQueryRead,
     Chunk::None},
    {"ReadUniqueId", Op::UniqueId, Kind::Frame, Unit::HandController, 248, 16, 1, 0, kQueryRead,
     Chunk::None},
    {"ReadPcbId", Op::PcbId, Kind::Frame, Unit::HandController, 248, 17, 1, 0, kQueryRead,
     Chunk::None},
    {"ReadDeviceText", Op::DeviceText, Kind::Frame, Unit::HandController, 248, 209, 1, 0,
     kQueryRead, Chunk::None},
    {"ReadFirmwareInfo", Op::FirmwareInfo, Kind::Frame, Unit::HandController, 247, 16, 1, 0,
     kQueryRead, Chunk::None},
    {"StartCamera", Op::StartCamera, Kind::Frame, Unit::HandController, 244, 193, 1, 0, kStartRead,
     Chunk::None},
    {"StopCamera", Op::StopCamera, Kind::Frame, Unit::HandController, 244, 192, 1, 0, kStopRead,
     Chunk::None},
    {"CameraState mode", Op::CameraState, Kind::Relay, Unit::Camera, 248, 1, 1, 1, kQueryRead,
     Chunk::None},
    {"CameraState uid", Op::CameraState, Kind::Relay, Unit::Camera, 248, 16, 1, 2, kQueryRead,
     Chunk::None},
    {"CameraState pcb", Op::CameraState, Kind::Relay, Unit::Camera, 248, 17, 1, 3, kQueryRead,
     Chunk::None},
    {"CameraFirmwareInfo", Op::CameraFirmwareInfo, Kind::Relay, Unit::Camera, 247, 16, 1, 1,
     kQueryRead, Chunk::None},
    {"HC up open", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 48, 1, 0, kQueryRead,
     Chunk::None},
    {"HC up start", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 138, 1, 0, kQueryRead,
     Chunk::None},
    {"HC up poll", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 218, 1, 0, kQueryRead,
     Chunk::None},
    {"HC up chunk first", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 218, 2, 0,
     kQueryRead, Chunk::First},
    {"HC up chunk middle", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 218, 3, 0,
     kQueryRead, Chunk::Middle},
    {"HC up chunk last", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 218, 4, 0,
     kQueryRead, Chunk::Last},
    {"HC up EndUpdate", Op::HcUpload, Kind::Frame, Unit::HandController, 247, 143, 1, 0, kQueryRead,
     Chunk::None},
    {"CA up end access", Op::CameraUpload, Kind::Frame, Unit::HandController, 244, 192, 1, 0,
     kUploadRead, Chunk::None},
    {"CA up start access", Op::CameraUpload, Kind::Frame, Unit::HandController, 244, 193, 1, 0,
     kUploadRead, Chunk::None},
    {"CA up open", Op::CameraUpload, Kind::Relay, Unit::Camera, 247, 48, 1, 1, kUploadRead,
     Chunk::None},
    {"CA up chunk first", Op::CameraUpload, Kind::Relay, Unit::Camera, 247, 218, 1, 2, kUploadRead,
     Chunk::First},
    {"CA up chunk middle", Op::CameraUpload, Kind::Relay, Unit::Camera, 247, 218, 2, 3, kUploadRead,
     Chunk::Middle},
    {"CA up chunk last", Op::CameraUpload, Kind::Relay, Unit::Camera, 247, 218, 3, 4, kUploadRead,
     Chunk::Last},
    {"CA up final end", Op::CameraUpload, Kind::Frame, Unit::HandController, 244, 192, 2, 0,
     kUploadRead, Chunk::None},
};

enum class Target {
  Own,    // the exchange's own unit, command and parameter
  Relay,  // the HandController's relay answer (244/60) of a relayed command
};

struct FaultKind {
  const char* name;
  FaultAction action;
  int32_t value;
  Target target = Target::Own;
};

const FaultKind kFaults[] = {
    {"timeout", FaultAction::Timeout, 0},
    {"short", FaultAction::ShortFrame, 1},
    {"wrong-id", FaultAction::WrongId, 0},
    {"wrong-ctr", FaultAction::WrongCounter, 0},
    {"ctr-F0", FaultAction::InvalidCounter, 0},
    {"type-10", FaultAction::AnswerType, 0x10},
    {"type-11", FaultAction::AnswerType, 0x11},
    {"type-12", FaultAction::AnswerType, 0x12},
    {"type-13", FaultAction::AnswerType, 0x13},
    {"type-14", FaultAction::AnswerType, 0x14},
    {"type-20", FaultAction::AnswerType, 0x20},
    {"type-42", FaultAction::AnswerType, 0x42},
    {"mode-chg", FaultAction::AsyncModeChange, 0},
    {"async-55", FaultAction::AsyncUnknown, 0x55},
    {"power-off", FaultAction::AsyncPowerOff, 0},
    {"bad-length", FaultAction::CorruptByte, 4},        // L's high byte XOR 0xFF
    {"bulk-short", FaultAction::OversizedBulk, 1000},   // announced, never sent
    {"bulk-huge", FaultAction::OversizedBulk, 200000},  // more than the store holds
    {"status-0", FaultAction::Status, 0},
    {"status-1", FaultAction::Status, 1},
    {"status-2", FaultAction::Status, 2},
    {"status-7", FaultAction::Status, 7},
    {"status-13", FaultAction::Status, 13},
    {"status-239", FaultAction::Status, 239},
    {"hc-timeout", FaultAction::Timeout, 0, Target::Relay},
    {"hc-short", FaultAction::ShortFrame, 1, Target::Relay},
    {"hc-bad-len", FaultAction::CorruptByte, 4, Target::Relay},
    {"relay-1", FaultAction::Status, 1, Target::Relay},
    {"relay-3", FaultAction::Status, 3, Target::Relay},
};

struct Expectation {
  bool applies = false;
  ResultCode code = 0;
  bool linkOpen = true;
  int32_t pendingDelayMs = 0;
};

Expectation Code(ResultCode code) {
  return {true, code, true, 0};
}
Expectation NotApplicable() {
  return {};
}

// What the host makes of a bent HandController answer frame.
Expectation FrameFault(const FaultKind& f) {
  switch (f.action) {
    case FaultAction::Timeout:
      return Code(9);
    case FaultAction::ShortFrame:
      return Code(34);
    case FaultAction::WrongId:
      return Code(31);
    case FaultAction::WrongCounter:
      return Code(32);
    case FaultAction::InvalidCounter:
      return Code(10);
    case FaultAction::AnswerType: {
      static const std::map<int32_t, ResultCode> types = {{0x10, 10}, {0x11, 50}, {0x12, 51},
                                                          {0x13, 52}, {0x14, 53}, {0x20, 66}};
      const auto it = types.find(f.value);
      return Code(it == types.end() ? 33 : it->second);
    }
    case FaultAction::AsyncModeChange:
      return {true, 12, true, 3000};
    case FaultAction::AsyncUnknown:
      return {true, 14, true, 500};
    case FaultAction::AsyncPowerOff:
      return {true, 13, false, 500};
    case FaultAction::CorruptByte:  // only byte 4: a length far above 528
      return Code(30);
    case FaultAction::OversizedBulk:
      // 54: a piece of bulk data arrived short. Above the 165,200-byte store
      // the announcement is refused with our own 55 before anything is read.
      return Code(f.value > 165200 ? 55 : 54);
    default:
      return NotApplicable();
  }
}

// The status cells: what a bent status byte means for each exchange.
Expectation StatusFault(const Exchange& x, const FaultKind& f) {
  const int32_t v = f.value;
  if (f.target == Target::Relay) {
    if (x.kind != Kind::Relay)
      return NotApplicable();
    switch (x.op) {
      case Op::CameraState:
      case Op::CameraFirmwareInfo:
        return v == 3 ? Code(66) : NotApplicable();
      case Op::CameraUpload:
        if (x.chunk == Chunk::None)  // the opening step
          return v == 3 ? Code(104) : NotApplicable();
        // Only the last chunk's status 1/13 looks at the relay status.
        if (x.chunk == Chunk::Last && v == 1)
          return Code(100);
        return NotApplicable();
      default:
        return NotApplicable();
    }
  }
  switch (x.op) {
    case Op::StartCamera:
      return v == 2 ? Code(106) : NotApplicable();
    case Op::HcUpload:
      if (x.parameter == 138)
        return v == 1 ? Code(104) : NotApplicable();
      if (x.parameter != 218)
        return NotApplicable();
      if (x.chunk == Chunk::None)  // the readiness poll
        return v == 239 ? Code(107) : NotApplicable();
      switch (v) {
        case 0:  // the unit wants more but the image is exhausted
          return x.chunk == Chunk::Last ? Code(104) : NotApplicable();
        case 1:
          return Code(100);
        case 13:
          return x.chunk == Chunk::Last ? NotApplicable() : Code(100);
        case 7:
          return Code(104);
        default:
          return NotApplicable();
      }
    case Op::CameraUpload:
      if (x.parameter == 193)
        return v == 2 ? Code(106) : NotApplicable();
      if (x.kind != Kind::Relay)
        return NotApplicable();
      if (x.chunk == Chunk::None)  // the byte the Camera answers to the opening
        return v == 1 ? Code(104) : NotApplicable();
      switch (v) {
        case 0:  // complete on the last chunk; nothing changes on the others
          return x.chunk == Chunk::Last ? Code(0) : NotApplicable();
        case 1:  // on the last chunk with relay status 0: complete
          return Code(x.chunk == Chunk::Last ? 0 : 100);
        case 13:
          return x.chunk == Chunk::Last ? NotApplicable() : Code(100);
        case 7:
          return Code(104);
        default:
          return NotApplicable();
      }
    default:
      return NotApplicable();
  }
}

Expectation Expect(const Exchange& x, const FaultKind& f) {
  if (f.action == FaultAction::Status)
    return StatusFault(x, f);
  if (f.target == Target::Relay)  // the HandController's own answer to the relay
    return x.kind == Kind::Relay ? FrameFault(f) : NotApplicable();
  if (x.kind == Kind::Handshake) {
    // Fixed byte strings read in one go: anything else is a failed handshake.
    return {true, 35, false, 0};
  }
  if (x.kind == Kind::Relay) {
    // On the Camera a corrupt byte bends its data, not a frame: no code of its own.
    if (f.action == FaultAction::CorruptByte)
      return NotApplicable();
    // The Camera's own silence or a short answer shows in the relay answer.
    if (f.action == FaultAction::Timeout) {  // relay status "no answer", no bulk
      if (x.op == Op::CameraUpload)
        return Code(x.chunk == Chunk::None ? 104 : 101);
      return Code(66);
    }
    if (f.action == FaultAction::ShortFrame) {  // one byte less of bulk
      if (x.op == Op::CameraUpload)
        return Code(101);
      // The firmware record's count is not checked: the missing tail reads as 0.
      return Code(x.op == Op::CameraFirmwareInfo ? 0 : 66);
    }
  }
  return FrameFault(f);
}

// --- Running one cell ---

struct Progress final : ProgressObserver {
  void OnProgress(uint64_t, uint64_t) override {}
};

bool NeedsCameraStarted(Op op) {
  return op == Op::StopCamera || op == Op::CameraState || op == Op::CameraFirmwareInfo;
}

ResultCode RunOp(SimRig& rig, Op op, const std::vector<uint8_t>& image) {
  DeviceSession& s = rig.session;
  switch (op) {
    case Op::Handshake:
    case Op::DeviceMode: {
      int32_t boot = 0;
      uint16_t v1 = 0, v2 = 0;
      return ReadDeviceMode(s, &boot, &v1, &v2);
    }
    case Op::UniqueId: {
      uint32_t words[2];
      uint8_t id[16];
      return ReadUniqueId(s, words, id);
    }
    case Op::PcbId: {
      uint8_t pcb = 0;
      return ReadPcbId(s, &pcb);
    }
    case Op::DeviceText: {
      uint8_t text[33] = {};
      return ReadDeviceText(s, text);
    }
    case Op::FirmwareInfo: {
      FirmwareInfo info;
      return ReadFirmwareInfo(s, &info);
    }
    case Op::StartCamera:
      return StartCamera(s);
    case Op::StopCamera:
      return StopCamera(s);
    case Op::CameraState: {
      DeviceState state;
      return ReadCameraState(s, &state);
    }
    case Op::CameraFirmwareInfo: {
      FirmwareInfo info;
      return ReadCameraFirmwareInfo(s, &info);
    }
    case Op::HcUpload: {
      Progress p;
      return UploadHcFirmware(s, image.data(), static_cast<int32_t>(image.size()), 0x1234, &p);
    }
    case Op::CameraUpload: {
      Progress p;
      return UploadCameraFirmware(s, image.data(), static_cast<int32_t>(image.size()), 0x4321, &p);
    }
  }
  return -1;
}

// Fixed sleeps of an operation (ms), beyond the read time-outs.
int64_t SleepsOf(Op op) {
  switch (op) {
    case Op::Handshake:
      return 550 + 2000 + 1000;  // wake-up, then both handshake reads timing out at worst
    case Op::StopCamera:
    case Op::CameraUpload:
      return 200;
    default:
      return 0;
  }
}

// Line time, USB latency and the unit's work: far below any time-out.
constexpr int64_t kSlackMs = 400;
// A reconnection: the pending delay, then both handshake reads at worst.
constexpr int64_t kHandshakeMs = 2000 + 1000;

struct Outcome {
  bool applies = false;
  bool ok = true;
  ResultCode expected = 0;
  ResultCode got = 0;
  std::string detail;
};

std::string RowName(const Exchange& x, const FaultKind& f) {
  return std::string(x.name) + " x " + f.name;
}

Outcome RunCell(const Exchange& x, const FaultKind& f, const Expectation& e) {
  Outcome out;
  out.applies = true;
  out.expected = e.code;
  SimRig rig;
  const Unit imageUnit = x.op == Op::CameraUpload ? Unit::Camera : Unit::HandController;
  const std::vector<uint8_t> image = sim::MakeSimImage(0x0203, 0x1000, "matrix", kImageLength, 7);
  std::string detail;
  auto fail = [&](const std::string& what) {
    out.ok = false;
    detail += (detail.empty() ? "" : "; ") + what;
  };

  if (x.kind != Kind::Handshake) {
    EXPECT_EQ(rig.session.OpenSession(), 0);
    if (NeedsCameraStarted(x.op)) {
      EXPECT_EQ(StartCamera(rig.session), 0);
    }
  }
  sim::Fault fault;
  if (f.target == Target::Relay) {
    fault.unit = Unit::HandController;
    fault.command = 244;
    fault.parameter = 60;
    fault.occurrence = rig.hc.CommandCount(Unit::HandController, 244, 60) + x.relayNth;
  } else {
    fault.unit = x.unit;
    fault.command = x.command;
    fault.parameter = x.parameter;
    fault.occurrence = rig.hc.CommandCount(x.unit, x.command, x.parameter) + x.nth;
  }
  fault.action = f.action;
  fault.value = f.value;
  rig.hc.AddFault(fault);

  const auto t0 = rig.clock.NowMs();
  out.got = RunOp(rig, x.op, image);
  const int64_t spent = static_cast<int64_t>(rig.clock.NowMs() - t0);

  if (out.got != e.code)
    fail("code");
  const bool open = rig.session.link && rig.session.link->IsOpen();
  if (open != e.linkOpen)
    fail(open ? "link open" : "link closed");
  if (rig.session.catalog.IsEmpty() == e.linkOpen)
    fail("catalog " + std::string(e.linkOpen ? "empty" : "kept"));
  if (rig.session.pendingDelayMs != e.pendingDelayMs)
    fail("pendingDelayMs " + std::to_string(rig.session.pendingDelayMs));
  if (rig.session.readTimeoutMs != 1000 || rig.session.writeTimeoutMs != 1000)
    fail("time-outs not restored");
  const int64_t bound = SleepsOf(x.op) + x.readTimeoutMs + kSlackMs;
  if (spent > bound)
    fail("waited " + std::to_string(spent) + " ms > " + std::to_string(bound));
  // An upload reports success only when the unit holds the whole image.
  if ((x.op == Op::HcUpload || x.op == Op::CameraUpload) && out.got == 0 &&
      rig.hc.Flash(imageUnit) != image) {
    fail("0 without the image in the unit");
  }

  // The next action reconnects and works.
  rig.hc.ClearFaults();
  const auto t1 = rig.clock.NowMs();
  if (NeedsCameraStarted(x.op)) {
    const ResultCode rc = StartCamera(rig.session);
    if (rc != 0)
      fail("recovery StartCamera " + std::to_string(rc));
  }
  const ResultCode again = RunOp(rig, x.op, image);
  if (again != 0)
    fail("next action " + std::to_string(again));
  const int64_t recoverSpent = static_cast<int64_t>(rig.clock.NowMs() - t1);
  // Bytes left behind by a rejected answer (e.g. its bulk block) are drained
  // under the time-outs of the next command: one read may run out.
  const int64_t drainMs = NeedsCameraStarted(x.op) ? kStartRead : x.readTimeoutMs;
  const int64_t recoverBound =
      e.pendingDelayMs + drainMs + kHandshakeMs + 2 * (SleepsOf(x.op) + kSlackMs) + 200;
  if (recoverSpent > recoverBound)
    fail("recovery waited " + std::to_string(recoverSpent) + " ms");
  // A device message asks for a pause before the next connection.
  if (recoverSpent < e.pendingDelayMs)
    fail("recovery skipped the pending delay");
  if (rig.session.pendingDelayMs != 0 || rig.session.protocolVersion < 0 ||
      !rig.session.link->IsOpen()) {
    fail("not connected after the next action");
  }
  if ((x.op == Op::HcUpload || x.op == Op::CameraUpload) && rig.hc.Flash(imageUnit) != image)
    fail("image not in the unit after the retry");
  out.detail = detail;
  return out;
}

TEST(FaultMatrix, EveryExchangeAgainstEveryFault) {
  constexpr size_t nx = std::size(kExchanges);
  constexpr size_t nf = std::size(kFaults);
  std::vector<std::vector<Outcome>> grid(nx, std::vector<Outcome>(nf));
  int rows = 0;
  int failed = 0;
  for (size_t i = 0; i < nx; ++i) {
    for (size_t j = 0; j < nf; ++j) {
      const Expectation e = Expect(kExchanges[i], kFaults[j]);
      if (!e.applies)
        continue;
      SCOPED_TRACE(RowName(kExchanges[i], kFaults[j]));
      grid[i][j] = RunCell(kExchanges[i], kFaults[j], e);
      ++rows;
      const Outcome& o = grid[i][j];
      if (!o.ok) {
        ++failed;
        ADD_FAILURE() << RowName(kExchanges[i], kFaults[j]) << ": expected " << o.expected
                      << ", got " << o.got << " (" << o.detail << ")";
      }
    }
  }
  RecordProperty("rows", rows);
  std::printf("fault matrix: %d rows, %d failed\n", rows, failed);
  if (failed == 0)
    return;
  // The whole matrix, once: "." passed, "-" no such cell, "e/g" expected/got.
  std::string table = "\n" + std::string(20, ' ');
  for (const FaultKind& f : kFaults) {
    char head[16];
    std::snprintf(head, sizeof head, "%-11.11s", f.name);
    table += head;
  }
  table += "\n";
  for (size_t i = 0; i < nx; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%-20.20s", kExchanges[i].name);
    table += name;
    for (size_t j = 0; j < nf; ++j) {
      const Outcome& o = grid[i][j];
      char cell[16];
      if (!o.applies)
        std::snprintf(cell, sizeof cell, "%-11s", "-");
      else if (o.ok)
        std::snprintf(cell, sizeof cell, "%-11s", ".");
      else
        std::snprintf(cell, sizeof cell, "%d/%-8d", o.expected, o.got);
      table += cell;
    }
    table += "\n";
  }
  ADD_FAILURE() << "fault matrix (expected/got where a row failed):" << table;
}

}  // namespace
}  // namespace vexo3
