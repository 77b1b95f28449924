#include "cli/device_list.h"

#include <cstdio>

#include "link/hardware_d2xx.h"
#include "platform/text_codec.h"

namespace vexo3::cli {

namespace {

using Verdict = FtdiDevice::ChipVerdict;

std::string Pad(std::string s, size_t width) {
  if (s.size() < width)
    s.append(width - s.size(), ' ');
  return s;
}

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOpens:
      return "yes";
    case Verdict::kInUseElsewhere:
      return "no: in use by another program";
    case Verdict::kUnreadable:
      return "no: can't be read (no permission, or in use)";
    case Verdict::kOtherSerial:
      return "no: other serial than --serial";
    case Verdict::kOtherUsbId:
    case Verdict::kOtherDescription:
      break;
  }
  return "no: not a Vexo-3 HandController";
}

}  // namespace

Verdict ChipEntry::verdict(const std::optional<std::string>& serial) const {
  return FtdiDevice::Judge(record.node, FtdiDevice::kHandControllerSelector, serial.value_or(""));
}

bool ChipEntry::unreadable() const {
  return verdict(std::nullopt) == Verdict::kUnreadable;
}

bool ChipEntry::inUseElsewhere() const {
  return verdict(std::nullopt) == Verdict::kInUseElsewhere;
}

std::string ChipName(const ChipEntry& chip) {
  return chip.serial.empty() ? "chip " + std::to_string(chip.index) : chip.serial;
}

bool ListChips(D2xxApi& d2xx, std::vector<ChipEntry>* chips, std::string* error) {
  chips->clear();
  FtdiDevice link(d2xx);
  std::vector<FtdiDevice::ChipRecord> records;
  const char* failedCall = nullptr;
  if (link.ListChips(&records, &failedCall) != 0) {
    *error = std::string("can't list the USB devices (") + failedCall + " status " +
             std::to_string(link.lastStatus) + ")";
    return false;
  }
  for (const FtdiDevice::ChipRecord& r : records) {
    ChipEntry e;
    e.record = r;
    if (e.verdict(std::nullopt) == Verdict::kOtherUsbId)
      continue;
    e.index = static_cast<uint32_t>(r.index);
    e.usbId = r.node.ID;
    // Bounded by the fields: a driver may fill them to the brim.
    e.serial = DecodeCp1252(r.node.SerialNumber, sizeof r.node.SerialNumber);
    e.description = DecodeCp1252(r.node.Description, sizeof r.node.Description);
    chips->push_back(std::move(e));
  }
  for (ChipEntry& a : *chips) {
    for (const ChipEntry& b : *chips) {
      if (&a != &b && a.twin < 0 && !a.serial.empty() && a.serial == b.serial &&
          a.verdict(std::nullopt) == Verdict::kOpens && b.verdict(std::nullopt) == Verdict::kOpens)
        a.twin = b.index;
    }
  }
  return true;
}

Choice ChooseHandController(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial) {
  Choice c;
  bool inUse = false;
  for (const ChipEntry& chip : chips) {
    if (chip.verdict(serial) == Verdict::kOpens)
      c.matches.push_back(chip);
    inUse = inUse || chip.inUseElsewhere();
  }
  bool allTwins = !c.matches.empty();
  for (const ChipEntry& chip : c.matches)
    allTwins = allTwins && chip.twin >= 0;
  if (c.matches.size() == 1 && !allTwins) {
    c.kind = Choice::Kind::One;
  } else if (!c.matches.empty()) {
    // Equal serials can't be told apart even with --serial.
    c.kind = Choice::Kind::Several;
    c.sharedSerial = allTwins;
  } else if (inUse) {
    // Its serial is unknown too: it may be the one asked for.
    c.kind = Choice::Kind::InUseElsewhere;
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
    if (chip.usbId != 0) {
      std::snprintf(head, sizeof head, "%-5u  %04x:%04x  ", chip.index, chip.usbId >> 16,
                    chip.usbId & 0xFFFF);
    } else {
      std::snprintf(head, sizeof head, "%-5u  %-9s  ", chip.index, "-");
    }
    out += head;
    out += Pad(chip.serial.empty() ? "-" : chip.serial, 16) + " ";
    out += Pad(chip.description.empty() ? "-" : "\"" + chip.description + "\"", 25) + " ";
    if (chip.twin >= 0) {
      out += "no: chip " + std::to_string(chip.twin) + " has the same serial number\n";
    } else {
      out += std::string(VerdictText(chip.verdict(serial))) + "\n";
    }
  }
  return out;
}

std::string SharedSerialText(const std::string& serial) {
  return "several HandControllers share the serial number \"" + serial +
         "\", so none of them can be chosen, even with --serial; unplug all but one of them";
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

std::string InUseElsewhereText() {
  return "vexo3: no free Vexo-3 HandController found; a USB-serial chip, probably the\n"
         "HandController, is in use by another program (a terminal program, or a second\n"
         "updater). Close that program, or unplug the HandController and plug it in again.\n";
}

}  // namespace vexo3::cli
