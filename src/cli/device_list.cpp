#include "cli/device_list.h"

#include <cstdio>
#include <memory>

#include "link/hardware_d2xx.h"
#include "platform/text_codec.h"

namespace vexo3::cli {

namespace {
constexpr uint32_t kUsbId = 0x04036015;

std::string Pad(std::string s, size_t width) {
  if (s.size() < width)
    s.append(width - s.size(), ' ');
  return s;
}

std::string Verdict(const ChipEntry& chip, const std::optional<std::string>& serial) {
  if (chip.unreadable())
    return "no: can't be read (no permission, or in use)";
  if (!chip.isHandController())
    return "no: not a Vexo-3 HandController";
  if (serial && chip.serial != *serial)
    return "no: other serial than --serial";
  return "yes";
}
}  // namespace

bool ChipEntry::isHandController() const {
  return usbId == kUsbId && description == kHandControllerDescription;
}

bool ListChips(D2xxApi& d2xx, std::vector<ChipEntry>* chips, std::string* error) {
  chips->clear();
  DWORD count = 0;
  FT_STATUS s = d2xx.FT_CreateDeviceInfoList(&count);
  if (s != FT_OK) {
    *error =
        "can't list the USB devices (FT_CreateDeviceInfoList status " + std::to_string(s) + ")";
    return false;
  }
  if (count == 0)
    return true;
  auto list = std::make_unique<FT_DEVICE_LIST_INFO_NODE[]>(count);
  DWORD got = count;
  s = d2xx.FT_GetDeviceInfoList(list.get(), &got);
  if (s != FT_OK) {
    *error = "can't list the USB devices (FT_GetDeviceInfoList status " + std::to_string(s) + ")";
    return false;
  }
  for (DWORD i = 0; i < got && i < count; ++i) {
    const FT_DEVICE_LIST_INFO_NODE& node = list[i];
    if (node.ID != kUsbId)
      continue;
    ChipEntry e;
    e.index = i;
    e.usbId = node.ID;
    // Bounded by the fields: a driver may fill them to the brim.
    e.serial = DecodeCp1252(node.SerialNumber, sizeof node.SerialNumber);
    e.description = DecodeCp1252(node.Description, sizeof node.Description);
    e.opened = (node.Flags & FT_FLAGS_OPENED) != 0;
    chips->push_back(std::move(e));
  }
  return true;
}

Choice ChooseHandController(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial) {
  Choice c;
  for (const ChipEntry& chip : chips) {
    if (chip.isHandController() && (!serial || chip.serial == *serial))
      c.matches.push_back(chip);
  }
  if (c.matches.size() == 1) {
    c.kind = Choice::Kind::One;
  } else if (c.matches.size() > 1) {
    // Equal serials can't be told apart even with --serial.
    c.kind = Choice::Kind::Several;
  } else {
    c.kind = serial ? Choice::Kind::NoSuchSerial : Choice::Kind::None;
  }
  return c;
}

std::string FormatChipTable(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial) {
  std::string out = "index  usb id     " + Pad("serial", 17) + Pad("description", 26) + "updater\n";
  for (const ChipEntry& chip : chips) {
    char head[32];
    std::snprintf(head, sizeof head, "%-5u  %04x:%04x  ", chip.index, chip.usbId >> 16,
                  chip.usbId & 0xFFFF);
    out += head;
    out += Pad(chip.serial.empty() ? "-" : chip.serial, 16) + " ";
    out += Pad(chip.description.empty() ? "-" : "\"" + chip.description + "\"", 25) + " ";
    out += Verdict(chip, serial) + "\n";
  }
  return out;
}

std::string PermissionHint() {
  if (const char* systemHint = DeviceAccessHint())
    return systemHint;
  // Paths of an installed system: the hint must work where there is no source tree.
  return "The USB device can't be opened, most likely for lack of permission. The udev rule\n"
         "/usr/lib/udev/rules.d/60-vexo3.rules gives the logged-in user access; the vexo3\n"
         "Debian package installs it. Without the package, write the rule's one line\n"
         "(see vexo3(1), FILES) to /etc/udev/rules.d/60-vexo3.rules, then run\n"
         "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
         "and unplug the HandController and plug it in again.\n";
}

}  // namespace vexo3::cli
