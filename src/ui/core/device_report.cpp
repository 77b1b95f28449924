#include "ui/core/device_report.h"

#include <cinttypes>

#include "platform/text_codec.h"
#include "ui/core/text_format.h"

namespace vexo3 {
namespace {

constexpr const char* kOpenFailureText =
    "Can't open device!\r\n\r\nPossible causes:\r\n\r\n"
    "  - The HandController can't be seen as an USB device;\r\n\r\n"
    "  - Some other program is connected to the HandController and so another program is not "
    "permitted to communicate with it. (Close the other program and retry.)";

template <size_t N>
std::string Decode(const char (&field)[N]) {
  return DecodeCp1252(field, N);
}

// Printed as a 64-bit count: the 32-bit block count times 512 can exceed
// what a 32-bit int holds.
uint64_t SizeBytes(const FirmwareInfo& info) {
  return static_cast<uint64_t>(info.sizeBlocks) * 512;
}

// The one line of a unit that reports no valid firmware.
void AppendFirmwareStatus(std::string& out, uint8_t status) {
  out += "Firmware version:   " + FirmwareStatusText(status) + "\n";
}

}  // namespace

std::string FirmwareStatusText(uint8_t status) {
  if (status == 0)
    return "valid firmware";
  if (status >= 1 && status <= 7)
    return "invalid firmware content";
  if (status == 8)
    return "internal error";
  if (status == 9)
    return "checksum error";
  if (status == 15)
    return "NO FIRMWARE is present";
  std::string out;
  AppendFormat(out, "unknown error code %d", status);
  return out;
}

namespace {

void AppendHcFirmware(std::string& out, bool missing, const FirmwareInfo& fw) {
  if (missing) {
    out += "Firmware version:   couldn't be read!";
    return;
  }
  if (fw.status != 0) {
    AppendFirmwareStatus(out, fw.status);
    return;
  }
  AppendFormat(out, "Firmware version:   %02x.%02x.%1x\n", fw.version >> 8, fw.version & 0xFF,
               fw.revision());
  AppendFormat(out, "     description:   \"%s\"\n", Decode(fw.description).c_str());
  AppendFormat(out, "            size:   %" PRIu64 " bytes\n", SizeBytes(fw));
  out += "            type:   ";
  out += fw.relocated() ? "reloc. fw." : "main fw.";
  out += "\n";
}

void AppendCameraFirmware(std::string& out, const FirmwareInfo& fw) {
  if (fw.status != 0) {
    AppendFirmwareStatus(out, fw.status);
    return;
  }
  AppendFormat(out, "Firmware version:   %02x.%02x\n", fw.version >> 8, fw.version & 0xFF);
  AppendFormat(out, "     description:   \"%s\"\n", Decode(fw.description).c_str());
  AppendFormat(out, "            size:   %" PRIu64 " bytes\n", SizeBytes(fw));
}

}  // namespace

std::string DeviceErrorText(ResultCode code) {
  if (code == kCanNotOpenDevice)
    return kOpenFailureText;
  return ResultText(code);
}

std::string BuildDeviceReport(const DeviceState& hc, bool firmwareInfoMissing,
                              const FirmwareInfo& hcFirmware, bool cameraAccessed,
                              const DeviceState& camera, const FirmwareInfo& cameraFirmware) {
  std::string out;
  out += "=== HandController's state:  ";
  out += hc.bootMode ? "BOOT MODE\n\n" : "APP MODE\n\n";
  AppendFormat(out, "USB-serial chip ID: %s\n", Decode(hc.chipSerial).c_str());
  AppendFormat(out, "       description: \"%s\"\n\n", Decode(hc.chipDescription).c_str());
  AppendFormat(out, "Unique ID:          \"%s\"\n", Decode(hc.uniqueId).c_str());
  AppendFormat(out, "Protocol version:   $%04x, $%04x\n", hc.protocolVersion, hc.protocolVersion2);
  AppendFormat(out, "Hardware ID:        %1X\n\n", hc.hardwareId & 0x0F);
  AppendHcFirmware(out, firmwareInfoMissing, hcFirmware);

  if (!hc.bootMode)
    return out;
  out += "\n=== Camera's state:  ";
  if (!cameraAccessed) {
    out += "ERROR, can't access Camera...!\n\n";
    return out;
  }
  out += "BOOT MODE\n\n";
  AppendFormat(out, "Unique ID:          \"%s\"\n", Decode(camera.uniqueId).c_str());
  AppendFormat(out, "Protocol version:   $%04x, $%04x\n", camera.protocolVersion,
               camera.protocolVersion2);
  AppendFormat(out, "Hardware ID:        %1X\n\n", camera.hardwareId & 0x0F);
  AppendCameraFirmware(out, cameraFirmware);
  return out;
}

}  // namespace vexo3
