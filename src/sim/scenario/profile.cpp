#include "sim/scenario/profile.h"

#include <filesystem>
#include <utility>

#include "platform/file_access.h"
#include "platform/file_open.h"
#include "sim/scenario/json_fields.h"
#include "sim/units/faults.h"

namespace vexo3::sim {
namespace {

using namespace json_fields;

UnitMode Mode(const json& j, const std::string& path) {
  if (j == "boot")
    return UnitMode::Boot;
  if (j == "app")
    return UnitMode::App;
  Fail(path, "expected \"boot\" or \"app\"");
}

void ProtocolWords(const json& j, const std::string& path, uint16_t* w1, uint16_t* w2) {
  if (!j.is_array() || j.size() != 2)
    Fail(path, "expected two numbers [w1, w2]");
  *w1 = static_cast<uint16_t>(Number(j[0], Index(path, 0), 0xFFFF));
  *w2 = static_cast<uint16_t>(Number(j[1], Index(path, 1), 0xFFFF));
}

void Update(const json& j, const std::string& path, UpdateConfig* u) {
  Object(j, path, {"not_ready_polls", "no_space", "refuse_open", "refuse_start"});
  if (auto* v = Member(j, "not_ready_polls")) {
    u->notReadyPolls = static_cast<uint32_t>(Number(*v, path + ".not_ready_polls", 1000000));
  }
  if (auto* v = Member(j, "no_space"))
    u->noSpace = Bool(*v, path + ".no_space");
  if (auto* v = Member(j, "refuse_open"))
    u->refuseOpen = Bool(*v, path + ".refuse_open");
  if (auto* v = Member(j, "refuse_start"))
    u->refuseStart = Bool(*v, path + ".refuse_start");
}

void Camera(const json& j, const std::string& path, CameraConfig* c) {
  Object(j, path,
         {"present", "mode", "protocol_version", "unique_id", "pcb_id", "firmware", "update"});
  if (auto* v = Member(j, "present"))
    c->present = Bool(*v, path + ".present");
  if (auto* v = Member(j, "mode"))
    c->mode = Mode(*v, path + ".mode");
  if (auto* v = Member(j, "protocol_version")) {
    ProtocolWords(*v, path + ".protocol_version", &c->protocolVersion, &c->protocolVersion2);
  }
  if (auto* v = Member(j, "unique_id"))
    c->uniqueId = Text(*v, path + ".unique_id", 16);
  if (auto* v = Member(j, "pcb_id"))
    c->pcbId = static_cast<uint8_t>(Number(*v, path + ".pcb_id", 0xFF));
  if (auto* v = Member(j, "firmware"))
    c->firmware = Firmware(*v, path + ".firmware", c->firmware);
  if (auto* v = Member(j, "update"))
    Update(*v, path + ".update", &c->update);
}

HandControllerConfig HandController(const json& j, const std::string& path) {
  Object(j, path,
         {"mode", "protocol_version", "unique_id", "pcb_id", "device_text", "firmware", "update",
          "camera", "chunk_delay_ms", "require_wake_up"});
  HandControllerConfig hc;
  if (auto* v = Member(j, "mode"))
    hc.mode = Mode(*v, path + ".mode");
  if (auto* v = Member(j, "protocol_version")) {
    ProtocolWords(*v, path + ".protocol_version", &hc.protocolVersion, &hc.protocolVersion2);
  }
  if (auto* v = Member(j, "unique_id"))
    hc.uniqueId = Text(*v, path + ".unique_id", 16);
  if (auto* v = Member(j, "pcb_id"))
    hc.pcbId = static_cast<uint8_t>(Number(*v, path + ".pcb_id", 0xFF));
  if (auto* v = Member(j, "device_text"))
    hc.deviceText = Text(*v, path + ".device_text", 32);
  if (auto* v = Member(j, "firmware"))
    hc.firmware = Firmware(*v, path + ".firmware", hc.firmware);
  if (auto* v = Member(j, "update"))
    Update(*v, path + ".update", &hc.update);
  if (auto* v = Member(j, "camera"))
    Camera(*v, path + ".camera", &hc.camera);
  if (auto* v = Member(j, "chunk_delay_ms")) {
    hc.chunkDelayMs = static_cast<uint32_t>(Number(*v, path + ".chunk_delay_ms", 10000));
  }
  if (auto* v = Member(j, "require_wake_up"))
    hc.requireWakeUp = Bool(*v, path + ".require_wake_up");
  return hc;
}

uint32_t UsbId(const json& j, const std::string& path) {
  const char* what = "expected \"vvvv:pppp\" (four hex digits each)";
  if (!j.is_string())
    Fail(path, what);
  const std::string s = j.get<std::string>();
  if (s.size() != 9 || s[4] != ':')
    Fail(path, what);
  uint32_t id = 0;
  for (size_t i = 0; i < 9; ++i) {
    if (i == 4)
      continue;
    const char c = s[i];
    uint32_t d = 0;
    if (c >= '0' && c <= '9')
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else
      Fail(path, what);
    id = (id << 4) | d;
  }
  return id;
}

Fault FaultEntry(const json& j, const std::string& path);

ChipScenario Chip(const json& j, const std::string& path, bool* inaccessible,
                  bool* inUseElsewhere) {
  Object(j, path,
         {"description", "serial", "usb_id", "hand_controller", "inaccessible", "in_use_elsewhere",
          "plug_in_ms", "unplug_ms", "replug_ms", "faults"});
  if (auto* v = Member(j, "inaccessible"))
    *inaccessible = Bool(*v, path + ".inaccessible");
  if (auto* v = Member(j, "in_use_elsewhere"))
    *inUseElsewhere = Bool(*v, path + ".in_use_elsewhere");
  ChipScenario chip;
  // The chip's strings live in 64- and 16-byte fields with their terminator.
  if (auto* v = Member(j, "description"))
    chip.description = Text(*v, path + ".description", 63);
  if (auto* v = Member(j, "serial"))
    chip.serial = Text(*v, path + ".serial", 15);
  if (auto* v = Member(j, "usb_id"))
    chip.usbId = UsbId(*v, path + ".usb_id");
  if (auto* v = Member(j, "hand_controller")) {
    if (v->is_null()) {
      chip.handController.reset();
    } else {
      chip.handController = HandController(*v, path + ".hand_controller");
    }
  }
  // The chip's plug timeline, on the bus's clock.
  constexpr uint64_t kMaxMs = 0xFFFFFFFF;
  if (auto* v = Member(j, "plug_in_ms"))
    chip.plugInMs = Number(*v, path + ".plug_in_ms", kMaxMs);
  if (auto* v = Member(j, "unplug_ms")) {
    chip.unplugMs = Number(*v, path + ".unplug_ms", kMaxMs);
    if (*chip.unplugMs <= chip.plugInMs)
      Fail(path + ".unplug_ms", "expected a time after plug_in_ms");
  }
  if (auto* v = Member(j, "replug_ms")) {
    chip.replugMs = Number(*v, path + ".replug_ms", kMaxMs);
    if (!chip.unplugMs || *chip.replugMs <= *chip.unplugMs)
      Fail(path + ".replug_ms", "expected a time after unplug_ms");
  }
  if (auto* v = Member(j, "faults")) {
    Array(*v, path + ".faults", kMaxFaults, "faults");
    for (size_t i = 0; i < v->size(); ++i)
      chip.faults.push_back(FaultEntry((*v)[i], Index(path + ".faults", i)));
  }
  return chip;
}

Fault FaultEntry(const json& j, const std::string& path) {
  Object(j, path, {"unit", "command", "parameter", "occurrence", "action"});
  Fault f;
  if (auto* v = Member(j, "unit")) {
    if (*v == "hc")
      f.unit = Unit::HandController;
    else if (*v == "camera")
      f.unit = Unit::Camera;
    else
      Fail(path + ".unit", "expected \"hc\" or \"camera\"");
  }
  if (auto* v = Member(j, "command"))
    f.command = static_cast<uint8_t>(Number(*v, path + ".command", 0xFF));
  if (auto* v = Member(j, "parameter")) {
    f.parameter = static_cast<uint8_t>(Number(*v, path + ".parameter", 0xFF));
  }
  if (auto* v = Member(j, "occurrence")) {
    f.occurrence = static_cast<uint32_t>(Number(*v, path + ".occurrence", 0xFFFFFFFF));
  }
  const json* action = Member(j, "action");
  if (action == nullptr)
    Fail(path + ".action", "missing");
  if (!action->is_string() || !ParseFaultAction(action->get<std::string>(), &f.action, &f.value)) {
    Fail(path + ".action",
         "expected \"timeout\", \"short-frame\", \"async-mode-change\", \"async-power-off\", "
         "\"answer-type:N\" or \"status:N\" (or another action listed in README.md)");
  }
  return f;
}

// The system's own path rules: on Windows "\\" separates too, and "C:\\x" is
// absolute.
std::string DirectoryOf(const std::string& path) {
  const std::filesystem::path p = PathFromUtf8(path);
  return p.has_parent_path() ? Utf8FromPath(p.parent_path()) : "";
}

bool IsRooted(const std::string& path) {
  return PathFromUtf8(path).has_root_path();
}

}  // namespace

bool ParseProfile(std::string_view text, const std::string& baseDir, Profile* profile,
                  std::string* error) {
  return Catching(error, [&] {
    const json root = Parse(text, "not a simulator profile");
    Object(root, "", {"chips", "faults", "state_file"});
    Profile p;
    if (auto* v = Member(root, "chips")) {
      Array(*v, "chips", kMaxChips, "chips");
      p.scenario.chips.clear();
      for (size_t i = 0; i < v->size(); ++i) {
        bool inaccessible = false;
        bool inUseElsewhere = false;
        p.scenario.chips.push_back(
            Chip((*v)[i], Index("chips", i), &inaccessible, &inUseElsewhere));
        p.chipInaccessible.push_back(inaccessible);
        p.chipInUseElsewhere.push_back(inUseElsewhere);
      }
    }
    if (auto* v = Member(root, "faults")) {
      Array(*v, "faults", kMaxFaults, "faults");
      for (size_t i = 0; i < v->size(); ++i) {
        p.scenario.faults.push_back(FaultEntry((*v)[i], Index("faults", i)));
      }
    }
    if (auto* v = Member(root, "state_file")) {
      if (!v->is_string() || v->get<std::string>().empty()) {
        Fail("state_file", "expected a file name");
      }
      p.stateFile = v->get<std::string>();
      if (!IsRooted(p.stateFile) && !baseDir.empty())
        p.stateFile = baseDir + "/" + p.stateFile;
    }
    *profile = std::move(p);
  });
}

bool LoadProfile(const std::string& path, Profile* profile, std::string* error) {
  std::string text;
  std::string why;
  switch (ReadRegularFile(path, kMaxFileBytes, &text, &why)) {
    case ReadFileResult::kOk:
      break;
    case ReadFileResult::kMissing:
      why = kNoSuchFile;
      [[fallthrough]];
    case ReadFileResult::kRefused:
      if (error != nullptr)
        *error = FileErrorText(path, why);
      return false;
  }
  if (text.empty()) {
    if (error != nullptr)
      *error = FileErrorText(path, kEmptyFile);
    return false;
  }
  if (!ParseProfile(text, DirectoryOf(path), profile, &why)) {
    if (error != nullptr)
      *error = FileErrorText(path, why);
    return false;
  }
  return true;
}

bool LoadProfile(const std::string& path, Scenario* scenario, std::string* error) {
  Profile profile;
  if (!LoadProfile(path, &profile, error))
    return false;
  *scenario = std::move(profile.scenario);
  return true;
}

}  // namespace vexo3::sim
