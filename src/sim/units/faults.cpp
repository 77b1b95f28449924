#include "sim/units/faults.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <utility>

namespace vexo3::sim {

namespace {

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

// ShortFrame's `value` bytes (1 when not given), at most all of them.
size_t ShortBy(int32_t value, size_t size) {
  return std::min<size_t>(value > 0 ? value : 1, size);
}

}  // namespace

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

void FaultSchedule::Clear() {
  faults_.clear();
  injectNext_.reset();
}

void FaultSchedule::InjectNext(FaultAction action, int32_t value) {
  Fault f;
  f.action = action;
  f.value = value;
  injectNext_ = f;
}

std::optional<Fault> FaultSchedule::TakeInjected() {
  return std::exchange(injectNext_, std::nullopt);
}

std::optional<Fault> FaultSchedule::Find(Unit unit, uint8_t command, uint8_t parameter,
                                         uint32_t seen) const {
  for (const Fault& f : faults_) {
    if (f.unit == unit && f.command == command && f.parameter == parameter &&
        (f.occurrence == 0 || f.occurrence == seen)) {
      return f;
    }
  }
  return std::nullopt;
}

void RaiseSignal(std::optional<Fault>* fault) {
  if (*fault && (*fault)->action == FaultAction::Signal) {
    std::raise((*fault)->value);
    fault->reset();
  }
}

bool CarriesOut(const std::optional<Fault>& fault) {
  if (!fault)
    return true;
  switch (fault->action) {
    case FaultAction::Timeout:
    case FaultAction::AsyncModeChange:
    case FaultAction::AsyncPowerOff:
    case FaultAction::AsyncUnknown:
    case FaultAction::AnswerType:
      return false;
    default:
      return true;
  }
}

bool ShapeCameraAnswer(const Fault& fault, std::vector<uint8_t>* data) {
  switch (fault.action) {
    case FaultAction::ShortFrame:
      data->resize(data->size() - ShortBy(fault.value, data->size()));
      return true;
    case FaultAction::Status:
      if (!data->empty())
        (*data)[0] = static_cast<uint8_t>(fault.value);
      return true;
    case FaultAction::CorruptByte:
      if (!data->empty())
        (*data)[static_cast<size_t>(fault.value) % data->size()] ^= 0xFF;
      return true;
    default:
      return false;
  }
}

std::optional<std::vector<uint8_t>> ShapeAnswer(uint8_t id, uint8_t counter, UnitAnswer answer,
                                                const std::optional<Fault>& fault) {
  const FaultAction action = fault ? fault->action : FaultAction::Timeout;
  const int32_t value = fault ? fault->value : 0;
  if (fault) {
    switch (action) {
      case FaultAction::Timeout:
        return std::nullopt;
      case FaultAction::AsyncModeChange:
        return WriteAsyncMessage(0xAA);
      case FaultAction::AsyncPowerOff:
        return WriteAsyncMessage(0x36);
      case FaultAction::AsyncUnknown:
        return WriteAsyncMessage(static_cast<uint8_t>(value));
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
        std::erase_if(answer.items, [](const AnswerItem& i) { return i.code >= 0xFC; });
        AnswerItem announce{0xFC, {}};
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

  std::vector<std::vector<uint8_t>> segments = WriteAnswer(id, counter, std::move(answer));
  if (fault && action == FaultAction::ShortFrame) {
    std::vector<uint8_t>& first = segments.front();
    first.resize(first.size() - ShortBy(value, first.size()));
    segments.resize(1);
  } else if (fault && action == FaultAction::CorruptByte) {
    std::vector<uint8_t>& first = segments.front();
    first[static_cast<size_t>(value) % first.size()] ^= 0xFF;
  }
  std::vector<uint8_t> bytes;
  for (const auto& s : segments)
    bytes.insert(bytes.end(), s.begin(), s.end());
  return bytes;
}

}  // namespace vexo3::sim
