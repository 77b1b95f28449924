#include "sim/scenario/state_file.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "sim/scenario/json_fields.h"

namespace vexo3::sim {
namespace {

using namespace json_fields;

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
// code point, which the text reader turns back into the same bytes.
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
  return Catching(error, [&] {
    const json root = Parse(text, "not a state file");
    Object(root, "", {"chips"});
    std::vector<ChipFirmwareState> out;
    // Every state file this program writes lists its chips: without the
    // list, "{}" or another program's settings would pass for one.
    const json* v = Member(root, "chips");
    if (v == nullptr)
      Fail("chips", "missing: not a state file");
    Array(*v, "chips", kMaxChips, "chips");
    for (size_t i = 0; i < v->size(); ++i) {
      const std::string path = Index("chips", i);
      const json& c = Object((*v)[i], path, {"serial", "hand_controller", "camera"});
      ChipFirmwareState chip;
      if (auto* s = Member(c, "serial"))
        chip.serial = Text(*s, path + ".serial", 15);
      if (auto* u = Member(c, "hand_controller"))
        chip.state.handController = UnitFromJson(*u, path + ".hand_controller");
      if (auto* u = Member(c, "camera"))
        chip.state.camera = UnitFromJson(*u, path + ".camera");
      out.push_back(std::move(chip));
    }
    *chips = std::move(out);
  });
}

}  // namespace vexo3::sim
