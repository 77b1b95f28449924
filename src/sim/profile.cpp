#include "sim/profile.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/file_open.h"
#include "platform/nearest_name.h"

namespace vexo3::sim {
namespace {

using nlohmann::json;

// Raised inside this file only, to unwind to the public entry points; never
// leaves them.
struct ProfileError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw ProfileError{(path.empty() ? std::string("profile") : path) + ": " + what};
}

std::string Join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

std::string Index(const std::string& path, size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

// The object's keys must be among `allowed`.
const json& Object(const json& j, const std::string& path,
                   std::initializer_list<std::string_view> allowed) {
  if (!j.is_object())
    Fail(path, "expected an object");
  for (const auto& [key, value] : j.items()) {
    bool known = false;
    for (std::string_view a : allowed)
      known = known || key == a;
    if (!known)
      Fail(Join(path, key), "unknown key" + DidYouMean(key, {allowed.begin(), allowed.size()}));
  }
  return j;
}

const json* Member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

uint64_t Number(const json& j, const std::string& path, uint64_t max) {
  const std::string range = "expected a number from 0 to " + std::to_string(max);
  if (!j.is_number())
    Fail(path, "expected a number");
  if (!j.is_number_unsigned())
    Fail(path, range);  // negative or fractional
  const uint64_t v = j.get<uint64_t>();
  if (v > max)
    Fail(path, range);
  return v;
}

bool Bool(const json& j, const std::string& path) {
  if (!j.is_boolean())
    Fail(path, "expected true or false");
  return j.get<bool>();
}

// Device texts are 8-bit on the wire: UTF-8 from the profile becomes
// Windows-1252 where the character has a code there (code points up to U+00FF
// as the byte of that value), else '?'.
std::string To8Bit(const std::string& utf8) {
  static constexpr std::pair<uint32_t, uint8_t> kHigh[] = {
      {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
      {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A},
      {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92},
      {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
      {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C},
      {0x017E, 0x9E}, {0x0178, 0x9F}};
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    // nlohmann has already checked the UTF-8; only the lengths matter here.
    const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
    }
    i += n;
    if (cp <= 0xFF) {
      out += static_cast<char>(cp);
      continue;
    }
    char c = '?';
    for (const auto& [code, byte] : kHigh) {
      if (code == cp)
        c = static_cast<char>(byte);
    }
    out += c;
  }
  return out;
}

std::string Text(const json& j, const std::string& path, size_t maxBytes) {
  if (!j.is_string())
    Fail(path, "expected a text");
  std::string text = To8Bit(j.get<std::string>());
  if (text.size() > maxBytes) {
    Fail(path, "expected a text of at most " + std::to_string(maxBytes) + " characters");
  }
  return text;
}

UnitMode Mode(const json& j, const std::string& path) {
  UnitMode mode{};
  if (!j.is_string() || !ParseUnitMode(j.get<std::string>(), &mode)) {
    Fail(path, "expected \"boot\" or \"app\"");
  }
  return mode;
}

void ProtocolWords(const json& j, const std::string& path, uint16_t* w1, uint16_t* w2) {
  if (!j.is_array() || j.size() != 2)
    Fail(path, "expected two numbers [w1, w2]");
  *w1 = static_cast<uint16_t>(Number(j[0], Index(path, 0), 0xFFFF));
  *w2 = static_cast<uint16_t>(Number(j[1], Index(path, 1), 0xFFFF));
}

std::optional<FirmwareConfig> Firmware(const json& j, const std::string& path,
                                       const std::optional<FirmwareConfig>& base) {
  if (j.is_null())
    return std::nullopt;
  Object(j, path, {"status", "flags", "version", "size_blocks", "description"});
  FirmwareConfig fw = base.value_or(FirmwareConfig{});
  if (auto* v = Member(j, "status"))
    fw.status = static_cast<uint8_t>(Number(*v, path + ".status", 0xFF));
  if (auto* v = Member(j, "flags"))
    fw.flags = static_cast<uint16_t>(Number(*v, path + ".flags", 0xFFFF));
  if (auto* v = Member(j, "version")) {
    fw.version = static_cast<uint16_t>(Number(*v, path + ".version", 0xFFFF));
  }
  if (auto* v = Member(j, "size_blocks")) {
    fw.sizeBlocks = static_cast<uint32_t>(Number(*v, path + ".size_blocks", 0xFFFFFFFF));
  }
  if (auto* v = Member(j, "description"))
    fw.description = Text(*v, path + ".description", 40);
  return fw;
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

ChipScenario Chip(const json& j, const std::string& path, bool* inaccessible) {
  Object(j, path, {"description", "serial", "usb_id", "hand_controller", "inaccessible"});
  if (auto* v = Member(j, "inaccessible"))
    *inaccessible = Bool(*v, path + ".inaccessible");
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
  return chip;
}

Fault FaultEntry(const json& j, const std::string& path) {
  Object(j, path, {"unit", "command", "parameter", "occurrence", "action"});
  Fault f;
  if (auto* v = Member(j, "unit")) {
    if (!v->is_string() || !ParseUnit(v->get<std::string>(), &f.unit)) {
      Fail(path + ".unit", "expected \"hc\" or \"camera\"");
    }
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

json Parse(std::string_view text) {
  try {
    return json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 2, ..." without the tag.
    // A number too large for any type (out_of_range.406) also fails here.
    std::string what = e.what();
    const size_t tag = what.find("] ");
    throw ProfileError{tag == std::string::npos ? what : what.substr(tag + 2)};
  }
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

// Far above any real profile or state file (a few kilobytes), low enough
// that a wrong path can't fill the memory.
constexpr size_t kMaxFileBytes = 4 << 20;

// --- State file ---

json UnitToJson(const UnitFirmwareState& unit) {
  json j = json::object();
  if (unit.firmware) {
    const FirmwareConfig& fw = *unit.firmware;
    j["firmware"] = {{"status", fw.status},
                     {"flags", fw.flags},
                     {"version", fw.version},
                     {"size_blocks", fw.sizeBlocks},
                     {"description", fw.description}};
  } else {
    j["firmware"] = nullptr;
  }
  j["flash_size"] = unit.flashSize;
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016" PRIx64, unit.flashDigest);
  j["flash_digest"] = digest;
  return j;
}

// The state file is written by us, but a person may edit it: the same rules.
UnitFirmwareState UnitFromJson(const json& j, const std::string& path) {
  Object(j, path, {"firmware", "flash_size", "flash_digest"});
  UnitFirmwareState unit;
  if (auto* v = Member(j, "firmware")) {
    // The description was stored as 8-bit bytes; JSON carries them as UTF-8
    // only when they are ASCII, so store and read them as they are.
    unit.firmware = Firmware(*v, path + ".firmware", FirmwareConfig{});
  }
  if (auto* v = Member(j, "flash_size")) {
    unit.flashSize = static_cast<uint32_t>(Number(*v, path + ".flash_size", 0xFFFFFFFF));
  }
  if (auto* v = Member(j, "flash_digest")) {
    const std::string hex = v->is_string() ? v->get<std::string>() : "";
    uint64_t d = 0;
    bool ok = v->is_string() && !hex.empty() && hex.size() <= 16;
    for (char c : hex) {
      const int n = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
      ok = ok && n >= 0;
      d = (d << 4) | static_cast<uint64_t>(n < 0 ? 0 : n);
    }
    if (!ok)
      Fail(path + ".flash_digest", "expected up to 16 hex digits");
    unit.flashDigest = d;
  }
  return unit;
}

// Firmware descriptions are 8-bit; JSON text must be UTF-8. Widen byte for
// code point, which To8Bit turns back into the same bytes.
std::string Widen(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto b = static_cast<uint8_t>(ch);
    if (b < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

}  // namespace

bool ParseProfile(std::string_view text, const std::string& baseDir, Profile* profile,
                  std::string* error) {
  try {
    const json root = Parse(text);
    Object(root, "", {"chips", "faults", "state_file"});
    Profile p;
    if (auto* v = Member(root, "chips")) {
      if (!v->is_array())
        Fail("chips", "expected an array");
      p.scenario.chips.clear();
      for (size_t i = 0; i < v->size(); ++i) {
        bool inaccessible = false;
        p.scenario.chips.push_back(Chip((*v)[i], Index("chips", i), &inaccessible));
        p.chipInaccessible.push_back(inaccessible);
      }
    }
    if (auto* v = Member(root, "faults")) {
      if (!v->is_array())
        Fail("faults", "expected an array");
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
    return true;
  } catch (const ProfileError& e) {
    if (error != nullptr)
      *error = e.text;
    return false;
  }
}

bool LoadProfile(const std::string& path, Profile* profile, std::string* error) {
  std::string text;
  std::string why;
  switch (ReadRegularFile(path, kMaxFileBytes, &text, &why)) {
    case ReadFileResult::kOk:
      break;
    case ReadFileResult::kMissing:
      why = "no such file";
      [[fallthrough]];
    case ReadFileResult::kRefused:
      if (error != nullptr)
        *error = path + ": can't be read: " + why;
      return false;
  }
  if (!ParseProfile(text, DirectoryOf(path), profile, &why)) {
    if (error != nullptr)
      *error = path + ": " + why;
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

std::string FirmwareStateToJson(const std::vector<ChipFirmwareState>& chips) {
  json list = json::array();
  for (const ChipFirmwareState& chip : chips) {
    json hc = UnitToJson(chip.state.handController);
    json cam = UnitToJson(chip.state.camera);
    for (json* unit : {&hc, &cam}) {
      json& fw = (*unit)["firmware"];
      if (fw.is_object())
        fw["description"] = Widen(fw["description"].get<std::string>());
    }
    list.push_back({{"serial", Widen(chip.serial)}, {"hand_controller", hc}, {"camera", cam}});
  }
  return json{{"chips", list}}.dump(2) + "\n";
}

bool FirmwareStateFromJson(std::string_view text, std::vector<ChipFirmwareState>* chips,
                           std::string* error) {
  try {
    const json root = Parse(text);
    Object(root, "", {"chips"});
    std::vector<ChipFirmwareState> out;
    if (auto* v = Member(root, "chips")) {
      if (!v->is_array())
        Fail("chips", "expected an array");
      for (size_t i = 0; i < v->size(); ++i) {
        const std::string path = Index("chips", i);
        const json& c = Object((*v)[i], path, {"serial", "hand_controller", "camera"});
        ChipFirmwareState chip;
        if (auto* s = Member(c, "serial"))
          chip.serial = Text(*s, path + ".serial", 15);
        if (auto* u = Member(c, "hand_controller")) {
          chip.state.handController = UnitFromJson(*u, path + ".hand_controller");
        }
        if (auto* u = Member(c, "camera"))
          chip.state.camera = UnitFromJson(*u, path + ".camera");
        out.push_back(std::move(chip));
      }
    }
    *chips = std::move(out);
    return true;
  } catch (const ProfileError& e) {
    if (error != nullptr)
      *error = e.text;
    return false;
  }
}

SimulatedSetup::SimulatedSetup(Clock& clock, const Scenario& scenario, std::string stateFile)
    : bus_(std::make_unique<SimulatedBus>(clock)), stateFile_(std::move(stateFile)) {
  for (const ChipScenario& chip : scenario.chips) {
    std::unique_ptr<SimHandController> hc;
    if (chip.handController) {
      hc = std::make_unique<SimHandController>(*chip.handController);
      for (const Fault& fault : scenario.faults)
        hc->AddFault(fault);
    }
    ChipInfo info;
    info.usbId = chip.usbId;
    info.description = chip.description;
    info.serial = chip.serial;
    bus_->AddChip(info, hc.get());
    controllers_.push_back(std::move(hc));
    serials_.push_back(chip.serial);
  }
}

SimulatedSetup::SimulatedSetup(Clock& clock, const Profile& profile)
    : SimulatedSetup(clock, profile.scenario, profile.stateFile) {
  for (size_t i = 0; i < profile.chipInaccessible.size() && i < bus_->ChipCount(); ++i) {
    bus_->Chip(i).MutableInfo().inaccessible = profile.chipInaccessible[i];
  }
}

SimulatedSetup::~SimulatedSetup() {
  // The bus goes first: its chips point at the controllers.
  bus_.reset();
}

bool SimulatedSetup::LoadState(std::string* error) {
  if (stateFile_.empty())
    return true;
  std::string why;
  std::string text;
  // Checked before the lock file is made beside it: a state_file that is a
  // device or a FIFO must not get one.
  if (ReadRegularFile(stateFile_, kMaxFileBytes, &text, &why) == ReadFileResult::kRefused) {
    if (error != nullptr)
      *error = stateFile_ + ": can't be read: " + why;
    return false;
  }
  switch (stateLock_.TryLock(stateFile_, &why)) {
    case FileLock::Result::kLocked:
      break;
    case FileLock::Result::kBusy:
      // Another program is using this simulated device: its chips can't be
      // opened, as a real chip held by another program.
      for (size_t i = 0; i < bus_->ChipCount(); ++i)
        bus_->Chip(i).MutableInfo().openElsewhere = true;
      return true;
    case FileLock::Result::kFailed:
      if (error != nullptr)
        *error =
            stateFile_ + ": can't be locked (" + FileLock::LockPath(stateFile_) + ": " + why + ")";
      return false;
  }
  // Read again under the lock: its last holder may have saved since.
  switch (ReadRegularFile(stateFile_, kMaxFileBytes, &text, &why)) {
    case ReadFileResult::kOk:
      break;
    case ReadFileResult::kMissing:
      return true;  // first run: the units keep the profile's firmware
    case ReadFileResult::kRefused:
      if (error != nullptr)
        *error = stateFile_ + ": can't be read: " + why;
      return false;
  }
  std::vector<ChipFirmwareState> chips;
  if (!FirmwareStateFromJson(text, &chips, &why)) {
    if (error != nullptr)
      *error = stateFile_ + ": " + why +
               "\n(not a state file this program wrote; remove it to start afresh with the "
               "profile's firmware)";
    return false;
  }
  for (size_t i = 0; i < controllers_.size(); ++i) {
    if (!controllers_[i])
      continue;
    for (const ChipFirmwareState& saved : chips) {
      if (saved.serial == serials_[i]) {
        controllers_[i]->LoadFirmwareState(saved.state);
        break;
      }
    }
  }
  return true;
}

bool SimulatedSetup::SaveState(std::string* error) {
  // Without the lock the state belongs to the program holding it.
  if (stateFile_.empty() || !stateLock_.Held())
    return true;
  std::vector<ChipFirmwareState> chips;
  for (size_t i = 0; i < controllers_.size(); ++i) {
    if (controllers_[i])
      chips.push_back({serials_[i], controllers_[i]->SaveFirmwareState()});
  }
  std::string why;
  if (!WriteFileAtomically(stateFile_, FirmwareStateToJson(chips), &why)) {
    if (error != nullptr)
      *error = stateFile_ + ": can't be saved: " + why;
    return false;
  }
  return true;
}

}  // namespace vexo3::sim
