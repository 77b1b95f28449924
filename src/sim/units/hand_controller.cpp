#include "sim/units/hand_controller.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "sim/units/unit_commands.h"

namespace vexo3::sim {

namespace {

constexpr uint32_t kWakeUpBaud = 9600;
constexpr uint32_t kLineBaud = 3000000;

}  // namespace

SimHandController::SimHandController(HandControllerConfig config)
    : config_(std::move(config)),
      mode_(config_.mode),
      update_(config_.firmware, config_.update),
      camera_(config_.camera),
      awake_(!config_.requireWakeUp) {}

const UpdateProcedure& SimHandController::Procedure(Unit unit) const {
  return unit == Unit::HandController ? update_ : camera_.Update();
}

void SimHandController::OnOpen(SimChip& /*port*/) {
  parser_.Reset();
}
void SimHandController::OnClose(SimChip& /*port*/) {
  parser_.Reset();
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
  parser_.Feed(bytes, &events);
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

  std::optional<Fault> fault = faults_.TakeInjected();
  for (size_t i = 0; !fault && i < frame.items.size(); ++i) {
    fault = FaultFor(Unit::HandController, frame.code, frame.items[i].code);
  }
  if (!fault && frame.items.empty())
    fault = FaultFor(Unit::HandController, frame.code, 0);
  RaiseSignal(&fault);

  Answer answer;
  if (CarriesOut(fault)) {
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

  if (auto bytes = ShapeAnswer(code, counter, std::move(answer.content), fault))
    port.Send(*bytes, answer.delay);
}

void SimHandController::AnswerParameter(const ParsedCommand& frame, const ParsedCommand::Item& item,
                                        Answer* answer) {
  const bool boot = mode_ == UnitMode::Boot;
  auto add = [answer](uint8_t code, std::vector<uint8_t> data) {
    answer->content.items.push_back({code, std::move(data)});
  };

  switch (frame.code) {
    case kCmdIdentity:
      switch (item.code) {
        case kParMode: {
          std::vector<uint8_t> words;
          PutU16(&words, config_.protocolVersion);
          PutU16(&words, config_.protocolVersion2);
          add(boot ? 0x03 : 0x01, std::move(words));
          return;
        }
        case kParCatalog:
          add(kParCatalog, {});
          answer->content.bulk = config_.catalogBlock.value_or(BuiltInCatalogBlock());
          return;
        case kParUniqueId:
          add(kParUniqueId, IdBytes(config_.uniqueId));
          return;
        case kParPcbId:
          add(kParPcbId, {config_.pcbId});
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
        if (update_.Firmware())
          add(kParFirmwareInfo, FirmwareBytes(*update_.Firmware()));
        return;
      }
      // The application firmware has no update procedure.
      if (!boot) {
        answer->content.type = kTypeCantExecute;
        return;
      }
      switch (item.code) {
        case kParOpen:
          if (update_.Config().refuseOpen)
            return;
          update_.Open();
          add(kParOpen, {0});
          return;
        case kParStart:
          add(kParStart, {static_cast<uint8_t>(update_.Start() ? 0 : 1)});
          return;
        case kParData:
          if (frame.bulk.empty()) {
            add(kParData, {update_.Poll()});
          } else {
            add(kParData, {update_.TakeChunk(frame.bulk, update_.Started())});
            answer->delay = std::chrono::milliseconds(config_.chunkDelayMs);
          }
          return;
        case kParEnd:
          update_.End();
          return;
      }
      return;

    case kCmdCamera:
      if (!boot) {
        answer->content.type = kTypeCantExecute;
        return;
      }
      switch (item.code) {
        case kParStartCamera:
          add(kParStartCamera, {camera_.Start()});
          return;
        case kParStopCamera:
          camera_.Stop();
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
  if (!camera_.Started()) {
    relay = kRelayNotStarted;
  } else {
    ++counts_[{Unit::Camera, innerCommand, innerParameter}];
    std::optional<Fault> fault = FaultFor(Unit::Camera, innerCommand, innerParameter);
    RaiseSignal(&fault);
    if (fault && fault->action == FaultAction::Timeout) {
      relay = kRelayNoAnswer;
    } else if (!camera_.Answer(innerCommand, innerParameter, frame.bulk, &cameraAnswer)) {
      relay = kRelayUnknown;
    } else {
      if (innerCommand == kCmdFirmware && innerParameter == kParData)
        answer->delay = std::chrono::milliseconds(config_.chunkDelayMs);
      // Frame-level faults show on the HandController's answer.
      if (fault && !ShapeCameraAnswer(*fault, &cameraAnswer))
        answer->fault = fault;
    }
  }
  answer->content.items.push_back({kParRelay, {relay}});
  if (relay == kRelayOk)
    answer->content.bulk = std::move(cameraAnswer);
}

std::optional<Fault> SimHandController::FaultFor(Unit unit, uint8_t command,
                                                 uint8_t parameter) const {
  return faults_.Find(unit, command, parameter, CommandCount(unit, command, parameter));
}

UnitMode SimHandController::Mode(Unit unit) const {
  return unit == Unit::HandController ? mode_ : camera_.Mode();
}
void SimHandController::SetMode(Unit unit, UnitMode mode) {
  if (unit == Unit::HandController)
    mode_ = mode;
  else
    camera_.SetMode(mode);
}
std::pair<uint16_t, uint16_t> SimHandController::ProtocolWords(Unit unit) const {
  if (unit == Unit::Camera)
    return camera_.ProtocolWords();
  return {config_.protocolVersion, config_.protocolVersion2};
}

uint32_t SimHandController::CommandCount(Unit unit, uint8_t command, uint8_t parameter) const {
  const auto it = counts_.find({unit, command, parameter});
  return it == counts_.end() ? 0 : it->second;
}

void SimHandController::ClearRecords() {
  counts_.clear();
  lastCommands_.clear();
}

SimFirmwareState SimHandController::SaveFirmwareState() const {
  return {update_.Save(), camera_.Update().Save()};
}

void SimHandController::LoadFirmwareState(const SimFirmwareState& state) {
  update_.Load(state.handController);
  camera_.Update().Load(state.camera);
}

}  // namespace vexo3::sim
