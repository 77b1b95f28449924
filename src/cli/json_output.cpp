#include "cli/json_output.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/text_codec.h"
#include "ui/core/device_report.h"

namespace vexo3::cli {
namespace {

using json = nlohmann::ordered_json;

std::string VersionText(uint16_t version, unsigned revision, bool withRevision) {
  char buf[16];
  if (withRevision) {
    std::snprintf(buf, sizeof buf, "%02x.%02x.%1x", version >> 8, version & 0xFF, revision);
  } else {
    std::snprintf(buf, sizeof buf, "%02x.%02x", version >> 8, version & 0xFF);
  }
  return buf;
}

std::string Text(const char* bytes, size_t capacity) {
  return DecodeCp1252(bytes, capacity);
}

json Firmware(const FirmwareInfo& fw, bool isHandController) {
  json j = {{"status", fw.status}, {"status_text", FirmwareStatusText(fw.status)}};
  if (fw.status != 0)
    return j;  // the unit sent its status alone
  j["flags"] = fw.flags;
  j["version"] = fw.version;
  // The Camera's version has two parts only, as in the report.
  j["version_text"] = VersionText(fw.version, fw.revision(), isHandController);
  if (isHandController) {
    j["revision"] = fw.revision();
    j["type"] = fw.relocated() ? "reloc" : "main";
  }
  j["size_blocks"] = fw.sizeBlocks;
  j["size_bytes"] = static_cast<uint64_t>(fw.sizeBlocks) * 512;
  j["description"] = Text(fw.description, sizeof fw.description);
  return j;
}

json Unit(const DeviceState& s) {
  return {{"unique_id", Text(s.uniqueId, sizeof s.uniqueId)},
          {"protocol_version", {s.protocolVersion, s.protocolVersion2}},
          {"hardware_id", s.hardwareId}};
}

json Image(const FirmwareImage& image) {
  if (!image.IsPresent())
    return nullptr;
  return {{"kind", std::string(image.kind, sizeof image.kind)},
          {"version", image.version},
          {"revision", image.revision()},
          {"version_text", VersionText(image.version, image.revision(), true)},
          {"flags", image.flags},
          {"supported_pcb", image.supportedPcb()},
          {"start_code", image.startCode},
          {"length", image.length},
          {"description", Text(image.description, sizeof image.description)}};
}

std::string Dump(const json& j) {
  // Texts from devices and files are already valid UTF-8 (DecodeCp1252).
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string DevicesJson(const std::vector<ChipEntry>& chips,
                        const std::optional<std::string>& serial) {
  json list = json::array();
  for (const ChipEntry& c : chips) {
    char usb[16];
    std::snprintf(usb, sizeof usb, "%04x:%04x", c.usbId >> 16, c.usbId & 0xFFFF);
    const bool inUse = c.inUseElsewhere();
    // A chip in use elsewhere comes without its id.
    list.push_back({{"index", c.index},
                    {"usb_id", c.usbId != 0 ? json(usb) : json(nullptr)},
                    {"serial", c.serial},
                    {"description", c.description},
                    {"readable", !c.unreadable() && !inUse},
                    {"in_use_elsewhere", inUse},
                    {"would_open", c.verdict(serial) == FtdiDevice::ChipVerdict::kOpens}});
  }
  return Dump({{"devices", list}});
}

std::string DeviceRecordsJson(const DeviceReportRecords& r) {
  json hc = {{"mode", r.hc.bootMode ? "boot" : "app"},
             {"chip_serial", Text(r.hc.chipSerial, sizeof r.hc.chipSerial)},
             {"chip_description", Text(r.hc.chipDescription, sizeof r.hc.chipDescription)}};
  hc.update(Unit(r.hc));
  hc["firmware"] = r.firmwareInfoMissing ? json(nullptr) : Firmware(r.hcFirmware, true);
  json out = {{"hand_controller", hc}};
  // As in the report: the Camera is asked about only in boot mode.
  if (!r.hc.bootMode) {
    out["camera"] = nullptr;
  } else if (!r.cameraAccessed) {
    out["camera"] = {{"accessed", false}};
  } else {
    json cam = {{"accessed", true}, {"mode", r.camera.bootMode ? "boot" : "app"}};
    cam.update(Unit(r.camera));
    cam["firmware"] = Firmware(r.cameraFirmware, false);
    out["camera"] = cam;
  }
  return Dump(out);
}

std::string ErrorJson(const std::string& messages, int exitStatus, bool line) {
  std::string text;
  std::istringstream lines(messages);
  for (std::string l; std::getline(lines, l);) {
    if (l.rfind("vexo3: ", 0) == 0)
      l.erase(0, 7);
    if (l == "Run with --help for more information.")
      continue;
    text += (text.empty() ? "" : "\n") + l;
  }
  if (line) {
    return json{{"event", "error"}, {"error", text}, {"exit_status", exitStatus}}.dump(
               -1, ' ', false, json::error_handler_t::replace) +
           "\n";
  }
  return Dump({{"error", text}, {"exit_status", exitStatus}});
}

std::string PackageJson(const std::string& path, const FirmwarePackage& package,
                        const std::string& summary) {
  return Dump({{"file", path},
               {"hand_controller", Image(package.hcImage)},
               {"camera", Image(package.cameraImage)},
               {"summary", summary}});
}

}  // namespace vexo3::cli
