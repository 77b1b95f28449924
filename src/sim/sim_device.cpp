#include "sim/sim_device.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <utility>

#include "sim/sim_codec.h"
#include "sim/sim_image.h"

namespace vexo3::sim {

namespace {

constexpr uint32_t kWakeUpBaud = 9600;
constexpr uint32_t kLineBaud = 3000000;

// Command and parameter codes the unit serves.
enum : uint8_t { kCmdIdentity = 0xF8, kCmdFirmware = 0xF7, kCmdCamera = 0xF4 };
enum : uint8_t {
  kParMode = 0x01,
  kParCatalog = 0x0A,
  kParUniqueId = 0x10,
  kParPcbId = 0x11,
  kParDeviceText = 0xD1,
  kParFirmwareInfo = 0x10,
  kParOpen = 0x30,
  kParStart = 0x8A,
  kParData = 0xDA,
  kParEnd = 0x8F,
  kParStartCamera = 0xC1,
  kParStopCamera = 0xC0,
  kParRelay = 0x3C,
};

// Unit statuses of the update procedure.
enum : uint8_t {
  kStatusOk = 0,
  kStatusCountMismatch = 1,
  kStatusNotReady = 0x66,
  kStatusNoSpace = 0xEF,
  kStatusComplete = 0x0D,
  kStatusNotStarted = 5,
  kFirmwareChecksumError = 9,
  kFirmwareAbsent = 15,
};

constexpr uint8_t kTypeUnknownCommand = 0x10;
constexpr uint8_t kTypeUnknownParameter = 0x12;
constexpr uint8_t kTypeTooManyBytes = 0x14;
constexpr uint8_t kTypeCantExecute = 0x20;

FirmwareConfig StatusOnly(uint8_t status) {
  FirmwareConfig fw;
  fw.status = status;
  return fw;
}

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

bool ParseNumber(std::string_view text, int32_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc{} || end != text.data() + text.size())
    return false;
  *value = v;
  return true;
}

}  // namespace

uint64_t FlashDigest(std::span<const uint8_t> bytes) {
  uint64_t h = 14695981039346656037ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

bool ParseUnitMode(std::string_view text, UnitMode* mode) {
  if (text == "boot") {
    *mode = UnitMode::Boot;
  } else if (text == "app") {
    *mode = UnitMode::App;
  } else {
    return false;
  }
  return true;
}

bool ParseUnit(std::string_view text, Unit* unit) {
  if (text == "hc") {
    *unit = Unit::HandController;
  } else if (text == "camera") {
    *unit = Unit::Camera;
  } else {
    return false;
  }
  return true;
}

bool ParseFaultAction(std::string_view text, FaultAction* action, int32_t* value) {
  struct Name {
    std::string_view name;
    FaultAction action;
    bool takesValue;
  };
  static constexpr Name kNames[] = {
      {"timeout", FaultAction::Timeout, false},
      {"short-frame", FaultAction::ShortFrame, false},
      {"async-mode-change", FaultAction::AsyncModeChange, false},
      {"async-power-off", FaultAction::AsyncPowerOff, false},
      {"async-unknown", FaultAction::AsyncUnknown, true},
      {"answer-type", FaultAction::AnswerType, true},
      {"status", FaultAction::Status, true},
      {"invalid-counter", FaultAction::InvalidCounter, false},
      {"wrong-id", FaultAction::WrongId, false},
      {"wrong-counter", FaultAction::WrongCounter, false},
      {"corrupt-byte", FaultAction::CorruptByte, true},
      {"oversized-bulk", FaultAction::OversizedBulk, true},
      {"signal", FaultAction::Signal, true},
  };
  const size_t colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  for (const Name& n : kNames) {
    if (n.name != name)
      continue;
    int32_t v = 0;
    if (n.takesValue) {
      if (colon == std::string_view::npos || !ParseNumber(text.substr(colon + 1), &v))
        return false;
    } else if (colon != std::string_view::npos) {
      // "short-frame:N" drops N bytes; the others take no value.
      if (n.action != FaultAction::ShortFrame || !ParseNumber(text.substr(colon + 1), &v)) {
        return false;
      }
    }
    *action = n.action;
    *value = v;
    return true;
  }
  return false;
}

// One unit's identity, firmware and the state of its update procedure.
struct SimHandController::UnitState {
  UnitMode mode = UnitMode::Boot;
  uint16_t protocolVersion = 0;
  uint16_t protocolVersion2 = 0;
  std::string uniqueId;
  uint8_t pcbId = 0;
  std::optional<FirmwareConfig> firmware;
  UpdateConfig update;
  std::vector<uint8_t> flash;
  // After LoadFirmwareState the flash bytes are unknown; only their digest is.
  std::optional<uint64_t> loadedDigest;
  uint32_t loadedSize = 0;

  bool opened = false;
  bool started = false;  // HC: 138 accepted; the Camera needs no start
  uint16_t startCode = 0;
  uint32_t pollsLeft = 0;
  bool chunkReceived = false;
  bool complete = false;
  bool mismatch = false;
  std::optional<SimImageHeader> header;
  std::optional<FirmwareConfig> previous;

  void ResetProcedure() {
    opened = started = chunkReceived = complete = mismatch = false;
    header.reset();
    previous.reset();
  }

  // Takes one chunk of the image; returns the unit's chunk status.
  uint8_t TakeChunk(std::span<const uint8_t> data, bool ready) {
    if (!ready)
      return kStatusNotStarted;
    if (complete) {
      mismatch = true;
      return kStatusCountMismatch;
    }
    if (!chunkReceived) {
      // The first chunk erases the old firmware.
      chunkReceived = true;
      previous = firmware;
      firmware = StatusOnly(kFirmwareAbsent);
      flash.clear();
      loadedDigest.reset();
      header = ParseSimImage(data);
    }
    flash.insert(flash.end(), data.begin(), data.end());
    if (header) {
      if (flash.size() < header->length)
        return kStatusOk;
      complete = true;
      mismatch = flash.size() > header->length;
      return mismatch ? kStatusCountMismatch : kStatusComplete;
    }
    if (data.size() < kSimChunkSize) {
      complete = true;
      return kStatusComplete;
    }
    return kStatusOk;
  }

  // The procedure ended: the image becomes the unit's firmware, or the unit
  // is left with a broken one.
  void Commit() {
    if (chunkReceived) {
      // Only an image the unit itself called complete (status 13) counts.
      const bool good = complete && !mismatch;
      if (!good) {
        firmware = StatusOnly(kFirmwareChecksumError);
      } else {
        FirmwareConfig fw = previous.value_or(FirmwareConfig{});
        fw.status = 0;
        if (header) {
          fw.flags = header->flags;
          fw.version = header->version;
          fw.description = header->description;
        }
        fw.sizeBlocks = static_cast<uint32_t>((flash.size() + 511) / 512);
        firmware = fw;
      }
    }
    ResetProcedure();
  }
};

struct SimHandController::Impl {
  CommandParser parser;
  UnitState hc;
  UnitState camera;
};

// What the unit answers to one frame, before faults shape the bytes.
struct SimHandController::Answer {
  uint8_t type = 0;
  std::vector<sim::AnswerItem> items;
  std::optional<std::vector<uint8_t>> bulk;
  Clock::Duration delay{0};
  std::optional<Fault> fault;  // a Camera fault that shows on the HC's frame
};

SimHandController::SimHandController(HandControllerConfig config)
    : config_(std::move(config)), impl_(std::make_unique<Impl>()) {
  UnitState& hc = impl_->hc;
  hc.mode = config_.mode;
  hc.protocolVersion = config_.protocolVersion;
  hc.protocolVersion2 = config_.protocolVersion2;
  hc.uniqueId = config_.uniqueId;
  hc.pcbId = config_.pcbId;
  hc.firmware = config_.firmware;
  hc.update = config_.update;
  UnitState& cam = impl_->camera;
  const CameraConfig& cc = config_.camera;
  cam.mode = cc.mode;
  cam.protocolVersion = cc.protocolVersion;
  cam.protocolVersion2 = cc.protocolVersion2;
  cam.uniqueId = cc.uniqueId;
  cam.pcbId = cc.pcbId;
  cam.firmware = cc.firmware;
  cam.update = cc.update;
  awake_ = !config_.requireWakeUp;
}

SimHandController::~SimHandController() = default;

SimHandController::UnitState& SimHandController::State(Unit unit) {
  return unit == Unit::HandController ? impl_->hc : impl_->camera;
}
const SimHandController::UnitState& SimHandController::State(Unit unit) const {
  return unit == Unit::HandController ? impl_->hc : impl_->camera;
}

void SimHandController::OnOpen(SimChip& /*port*/) {
  impl_->parser.Reset();
}
void SimHandController::OnClose(SimChip& /*port*/) {
  impl_->parser.Reset();
}

void SimHandController::OnHostBytes(SimChip& port, std::span<const uint8_t> bytes) {
  const uint32_t baud = port.Line().baudRate;
  if (baud == kWakeUpBaud) {
    // At 9600 only the wake-up byte means anything; the rest is line noise.
    if (std::find(bytes.begin(), bytes.end(), uint8_t{0}) != bytes.end())
      awake_ = true;
    return;
  }
  if (baud != kLineBaud || !awake_)
    return;
  std::vector<ParserEvent> events;
  impl_->parser.Feed(bytes, &events);
  for (ParserEvent& event : events) {
    event.frame.baudRate = baud;
    HandleEvent(port, std::move(event));
  }
}

void SimHandController::HandleEvent(SimChip& port, ParserEvent&& event) {
  const ParsedCommand& f = event.frame;
  switch (event.kind) {
    case ParserEvent::Kind::Frame:
      HandleFrame(port, std::move(event.frame));
      return;
    case ParserEvent::Kind::Raw: {
      const uint8_t echo[1] = {f.code};
      port.Send(echo);
      return;
    }
    case ParserEvent::Kind::UnknownCommand:
      port.Send(WriteAnswerFrame(f.code, 0xF0, kTypeUnknownCommand, {}));
      return;
    case ParserEvent::Kind::UnknownParameter:
      port.Send(WriteAnswerFrame(f.code, f.counter, kTypeUnknownParameter, {}));
      return;
    case ParserEvent::Kind::TooLong:
      port.Send(WriteAnswerFrame(f.code, f.counter, kTypeTooManyBytes, {}));
      return;
  }
}

void SimHandController::HandleFrame(SimChip& port, ParsedCommand&& frame) {
  if (frame.items.empty())
    ++counts_[{Unit::HandController, frame.code, 0}];
  for (const auto& item : frame.items)
    ++counts_[{Unit::HandController, frame.code, item.code}];

  std::optional<Fault> fault = std::exchange(injectNext_, std::nullopt);
  for (size_t i = 0; !fault && i < frame.items.size(); ++i) {
    fault = TakeFault(Unit::HandController, frame.code, frame.items[i].code);
  }
  if (!fault && frame.items.empty())
    fault = TakeFault(Unit::HandController, frame.code, 0);
  if (fault && fault->action == FaultAction::Signal) {
    std::raise(fault->value);
    fault.reset();
  }

  Answer answer;
  // A lost command, or one answered by a message or a refusal, is not carried out.
  const bool carriedOut =
      !fault ||
      (fault->action != FaultAction::Timeout && fault->action != FaultAction::AsyncModeChange &&
       fault->action != FaultAction::AsyncPowerOff && fault->action != FaultAction::AsyncUnknown &&
       fault->action != FaultAction::AnswerType);
  if (carriedOut) {
    for (const auto& item : frame.items)
      AnswerParameter(frame, item, &answer);
  }
  if (!fault)
    fault = answer.fault;
  const uint8_t code = frame.code;
  const uint8_t counter = frame.counter;

  lastCommands_.push_back(std::move(frame));
  if (lastCommands_.size() > kKeptFrames)
    lastCommands_.pop_front();

  Emit(port, code, counter, answer, fault);
}

void SimHandController::AnswerParameter(const ParsedCommand& frame, const ParsedCommand::Item& item,
                                        Answer* answer) {
  UnitState& hc = impl_->hc;
  const bool boot = hc.mode == UnitMode::Boot;
  auto add = [answer](uint8_t code, std::vector<uint8_t> data) {
    answer->items.push_back({code, std::move(data)});
  };

  switch (frame.code) {
    case kCmdIdentity:
      switch (item.code) {
        case kParMode: {
          std::vector<uint8_t> words;
          PutU16(&words, hc.protocolVersion);
          PutU16(&words, hc.protocolVersion2);
          add(boot ? 0x03 : 0x01, std::move(words));
          return;
        }
        case kParCatalog:
          add(kParCatalog, {});
          answer->bulk = config_.catalogBlock.value_or(BuiltInCatalogBlock());
          return;
        case kParUniqueId:
          add(kParUniqueId, IdBytes(hc.uniqueId));
          return;
        case kParPcbId:
          add(kParPcbId, {hc.pcbId});
          return;
        case kParDeviceText: {
          std::vector<uint8_t> text;
          PutFixedText(&text, config_.deviceText, 32);
          add(kParDeviceText, std::move(text));
          return;
        }
      }
      return;

    case kCmdFirmware:
      if (item.code == kParFirmwareInfo) {
        if (hc.firmware)
          add(kParFirmwareInfo, FirmwareBytes(*hc.firmware));
        return;
      }
      // The application firmware has no update procedure.
      if (!boot) {
        answer->type = kTypeCantExecute;
        return;
      }
      switch (item.code) {
        case kParOpen:
          if (hc.update.refuseOpen)
            return;
          hc.ResetProcedure();
          hc.opened = true;
          hc.startCode = static_cast<uint16_t>(item.data[0] | item.data[1] << 8);
          add(kParOpen, {0});
          return;
        case kParStart:
          if (!hc.opened || hc.update.refuseStart) {
            add(kParStart, {1});
            return;
          }
          hc.started = true;
          hc.pollsLeft = hc.update.notReadyPolls;
          add(kParStart, {0});
          return;
        case kParData: {
          uint8_t status = kStatusNotStarted;
          if (frame.bulk.empty()) {
            if (!hc.started) {
              status = kStatusNotStarted;
            } else if (hc.update.noSpace) {
              status = kStatusNoSpace;
            } else if (hc.pollsLeft > 0) {
              --hc.pollsLeft;
              status = kStatusNotReady;
            } else {
              status = kStatusOk;
            }
          } else {
            status = hc.TakeChunk(frame.bulk, hc.started);
            answer->delay = std::chrono::milliseconds(config_.chunkDelayMs);
          }
          add(kParData, {status});
          return;
        }
        case kParEnd:
          if (hc.opened)
            hc.Commit();
          return;
      }
      return;

    case kCmdCamera:
      if (!boot) {
        answer->type = kTypeCantExecute;
        return;
      }
      switch (item.code) {
        case kParStartCamera: {
          uint8_t result = 0;
          if (!config_.camera.present) {
            result = 1;
          } else if (impl_->camera.update.refuseStart) {
            result = 2;
          } else {
            cameraStarted_ = true;
          }
          add(kParStartCamera, {result});
          return;
        }
        case kParStopCamera:
          // Ending access after an update makes the new image the Camera's firmware.
          if (impl_->camera.opened)
            impl_->camera.Commit();
          cameraStarted_ = false;
          add(kParStopCamera, {});
          return;
        case kParRelay:
          RelayToCamera(frame, item, answer);
          return;
      }
      return;
  }
}

void SimHandController::RelayToCamera(const ParsedCommand& frame, const ParsedCommand::Item& item,
                                      Answer* answer) {
  const uint8_t innerParameter = item.data[0];
  const uint8_t innerCommand = item.data[1];
  uint8_t relay = kRelayOk;
  std::vector<uint8_t> cameraAnswer;
  if (!config_.camera.present || !cameraStarted_) {
    relay = kRelayNotStarted;
  } else {
    ++counts_[{Unit::Camera, innerCommand, innerParameter}];
    std::optional<Fault> fault = TakeFault(Unit::Camera, innerCommand, innerParameter);
    if (fault && fault->action == FaultAction::Signal) {
      std::raise(fault->value);
      fault.reset();
    }
    if (fault && fault->action == FaultAction::Timeout) {
      relay = kRelayNoAnswer;
    } else if (!CameraAnswer(innerCommand, innerParameter, frame.bulk, &cameraAnswer, answer)) {
      relay = kRelayUnknown;
    } else if (fault) {
      switch (fault->action) {
        case FaultAction::ShortFrame: {
          const size_t drop =
              std::min<size_t>(fault->value > 0 ? fault->value : 1, cameraAnswer.size());
          cameraAnswer.resize(cameraAnswer.size() - drop);
          break;
        }
        case FaultAction::Status:
          if (!cameraAnswer.empty())
            cameraAnswer[0] = static_cast<uint8_t>(fault->value);
          break;
        case FaultAction::CorruptByte:
          if (!cameraAnswer.empty()) {
            cameraAnswer[static_cast<size_t>(fault->value) % cameraAnswer.size()] ^= 0xFF;
          }
          break;
        default:
          // Frame-level faults show on the HandController's answer.
          answer->fault = fault;
          break;
      }
    }
  }
  answer->items.push_back({kParRelay, {relay}});
  if (relay == kRelayOk)
    answer->bulk = std::move(cameraAnswer);
}

bool SimHandController::CameraAnswer(uint8_t innerCommand, uint8_t innerParameter,
                                     std::span<const uint8_t> data, std::vector<uint8_t>* out,
                                     Answer* answer) {
  UnitState& cam = impl_->camera;
  const bool boot = cam.mode == UnitMode::Boot;
  if (innerCommand == kCmdIdentity) {
    switch (innerParameter) {
      case kParMode: {
        const uint16_t top = boot ? 0xB000 : 0x0000;
        PutU16(out, static_cast<uint16_t>(top | (cam.protocolVersion & 0x0FFF)));
        PutU16(out, cam.protocolVersion2);
        return true;
      }
      case kParUniqueId:
        *out = IdBytes(cam.uniqueId);
        return true;
      case kParPcbId:
        out->push_back(cam.pcbId);
        return true;
    }
    return false;
  }
  if (innerCommand == kCmdFirmware) {
    switch (innerParameter) {
      case kParFirmwareInfo:
        *out = FirmwareBytes(cam.firmware.value_or(StatusOnly(kFirmwareAbsent)));
        return true;
      case kParOpen:
        if (!boot || cam.update.refuseOpen) {
          out->push_back(1);
          return true;
        }
        cam.ResetProcedure();
        cam.opened = true;
        cam.startCode = data.size() >= 2 ? static_cast<uint16_t>(data[0] | data[1] << 8) : 0;
        out->push_back(0);
        return true;
      case kParData:
        out->push_back(cam.TakeChunk(data, cam.opened));
        out->push_back(0);
        answer->delay = std::chrono::milliseconds(config_.chunkDelayMs);
        return true;
    }
  }
  return false;
}

void SimHandController::Emit(SimChip& port, uint8_t id, uint8_t counter, Answer& answer,
                             const std::optional<Fault>& fault) {
  const FaultAction action = fault ? fault->action : FaultAction::Timeout;
  const int32_t value = fault ? fault->value : 0;
  if (fault) {
    switch (action) {
      case FaultAction::Timeout:
        return;
      case FaultAction::AsyncModeChange:
        port.Send(WriteAsyncMessage(0xAA), answer.delay);
        return;
      case FaultAction::AsyncPowerOff:
        port.Send(WriteAsyncMessage(0x36), answer.delay);
        return;
      case FaultAction::AsyncUnknown:
        port.Send(WriteAsyncMessage(static_cast<uint8_t>(value)), answer.delay);
        return;
      case FaultAction::AnswerType:
        answer.type = static_cast<uint8_t>(value);
        answer.items.clear();
        answer.bulk.reset();
        break;
      case FaultAction::InvalidCounter:
        counter = 0xF0;
        break;
      case FaultAction::WrongId:
        ++id;
        break;
      case FaultAction::WrongCounter:
        ++counter;
        break;
      case FaultAction::Status:
        if (!answer.items.empty() && !answer.items[0].data.empty()) {
          answer.items[0].data[0] = static_cast<uint8_t>(value);
        }
        break;
      case FaultAction::OversizedBulk: {
        answer.bulk.reset();
        std::erase_if(answer.items, [](const sim::AnswerItem& i) { return i.code >= 0xFC; });
        sim::AnswerItem announce{0xFC, {}};
        PutU32(&announce.data, static_cast<uint32_t>(value));
        answer.items.push_back(std::move(announce));
        answer.items.push_back({0xFD, {}});
        break;
      }
      case FaultAction::ShortFrame:
      case FaultAction::CorruptByte:  // shape the bytes below
      case FaultAction::Signal:       // raised when the command arrived; answered as usual
        break;
    }
  }

  std::vector<std::vector<uint8_t>> segments;
  if (answer.type == 0 && answer.bulk) {
    segments = WriteAnswerWithBulk(id, counter, std::move(answer.items), *answer.bulk);
  } else {
    if (answer.type != 0)
      answer.items.clear();
    segments.push_back(WriteAnswerFrame(id, counter, answer.type, answer.items));
  }
  if (fault && action == FaultAction::ShortFrame) {
    std::vector<uint8_t>& first = segments.front();
    first.resize(first.size() - std::min<size_t>(value > 0 ? value : 1, first.size()));
    segments.resize(1);
  } else if (fault && action == FaultAction::CorruptByte) {
    std::vector<uint8_t>& first = segments.front();
    first[static_cast<size_t>(value) % first.size()] ^= 0xFF;
  }
  std::vector<uint8_t> bytes;
  for (const auto& s : segments)
    bytes.insert(bytes.end(), s.begin(), s.end());
  port.Send(bytes, answer.delay);
}

std::optional<Fault> SimHandController::TakeFault(Unit unit, uint8_t command, uint8_t parameter) {
  const auto it = counts_.find({unit, command, parameter});
  const uint32_t seen = it == counts_.end() ? 0 : it->second;
  for (const Fault& f : faults_) {
    if (f.unit == unit && f.command == command && f.parameter == parameter &&
        (f.occurrence == 0 || f.occurrence == seen)) {
      return f;
    }
  }
  return std::nullopt;
}

void SimHandController::AddFault(const Fault& fault) {
  faults_.push_back(fault);
}
void SimHandController::ClearFaults() {
  faults_.clear();
  injectNext_.reset();
}
void SimHandController::InjectNext(FaultAction action, int32_t value) {
  Fault f;
  f.action = action;
  f.value = value;
  injectNext_ = f;
}

UnitMode SimHandController::Mode(Unit unit) const {
  return State(unit).mode;
}
void SimHandController::SetMode(Unit unit, UnitMode mode) {
  State(unit).mode = mode;
}
std::pair<uint16_t, uint16_t> SimHandController::ProtocolWords(Unit unit) const {
  return {State(unit).protocolVersion, State(unit).protocolVersion2};
}
const std::vector<uint8_t>& SimHandController::Flash(Unit unit) const {
  return State(unit).flash;
}
const std::optional<FirmwareConfig>& SimHandController::Firmware(Unit unit) const {
  return State(unit).firmware;
}

uint32_t SimHandController::CommandCount(Unit unit, uint8_t command, uint8_t parameter) const {
  const auto it = counts_.find({unit, command, parameter});
  return it == counts_.end() ? 0 : it->second;
}

void SimHandController::ClearRecords() {
  counts_.clear();
  lastCommands_.clear();
}

uint64_t SimHandController::FlashDigestOf(Unit unit) const {
  const UnitState& u = State(unit);
  return u.loadedDigest ? *u.loadedDigest : FlashDigest(u.flash);
}

SimFirmwareState SimHandController::SaveFirmwareState() const {
  auto save = [this](Unit unit) {
    const UnitState& u = State(unit);
    UnitFirmwareState s;
    s.firmware = u.firmware;
    s.flashSize = u.loadedDigest ? u.loadedSize : static_cast<uint32_t>(u.flash.size());
    s.flashDigest = FlashDigestOf(unit);
    return s;
  };
  return {save(Unit::HandController), save(Unit::Camera)};
}

void SimHandController::LoadFirmwareState(const SimFirmwareState& state) {
  auto load = [this](Unit unit, const UnitFirmwareState& s) {
    UnitState& u = State(unit);
    u.firmware = s.firmware;
    u.flash.clear();
    u.loadedDigest = s.flashDigest;
    u.loadedSize = s.flashSize;
  };
  load(Unit::HandController, state.handController);
  load(Unit::Camera, state.camera);
}

std::vector<std::unique_ptr<SimHandController>> AttachScenario(SimulatedBus& bus,
                                                               const Scenario& scenario) {
  std::vector<std::unique_ptr<SimHandController>> out;
  for (const ChipScenario& chip : scenario.chips) {
    ChipInfo info;
    info.description = chip.description;
    info.serial = chip.serial;
    info.usbId = chip.usbId;
    std::unique_ptr<SimHandController> hc;
    if (chip.handController) {
      hc = std::make_unique<SimHandController>(*chip.handController);
      for (const Fault& f : scenario.faults)
        hc->AddFault(f);
    }
    bus.AddChip(std::move(info), hc.get());
    out.push_back(std::move(hc));
  }
  return out;
}

}  // namespace vexo3::sim
