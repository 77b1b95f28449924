#pragma once

// The FTDI chips on the bus as the command line shows them, and the choice
// of the one HandController to talk to. What each chip is, and whether the
// updater would open it, is the link's verdict (FtdiDevice::Judge); this
// only formats it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/d2xx.h"
#include "link/ftdi_device.h"

namespace vexo3::cli {

inline constexpr const char* kHandControllerDescription = FtdiDevice::kHandControllerDescription;

struct ChipEntry {
  FtdiDevice::ChipRecord record;  // as the link listed it
  uint32_t index = 0;             // in the driver's list
  uint32_t usbId = 0;             // vendor << 16 | product; 0 when the driver gives none
  std::string serial;             // UTF-8 (decoded from the chip's 8-bit text)
  std::string description;
  // Another HandController listed with the same serial number (its index),
  // or -1. Such twins can't be told apart, so neither is updated: an update
  // holds to its chip by the serial number when it opens it again.
  int64_t twin = -1;

  // The link's verdict on this chip for a run with that --serial.
  FtdiDevice::ChipVerdict verdict(const std::optional<std::string>& serial) const;
  // The driver could read neither string: usually no permission to open the
  // USB device (see the udev rule), or a program holds it.
  bool unreadable() const;
  // Another program has it open (what Windows reports for such a chip).
  bool inUseElsewhere() const;
};

// A chip's name in the lines: its serial, or its place in the list.
std::string ChipName(const ChipEntry& chip);

// The chips the updater might talk to, in the driver's order: those with USB
// id 0403:6015, and those in use elsewhere (whose id the driver doesn't
// give), with their twins marked. False with *error when enumeration fails.
bool ListChips(D2xxApi& d2xx, std::vector<ChipEntry>* chips, std::string* error);

// Which HandController to use.
struct Choice {
  // InUseElsewhere: none that can be opened, and a chip in use by another
  // program (which may be it).
  enum class Kind { One, None, NoSuchSerial, Several, InUseElsewhere } kind = Kind::None;
  std::vector<ChipEntry> matches;  // the HandControllers (with --serial: that serial's)
  // Several, and only because twins share a serial number: no --serial can
  // pick one of them. Both are left alone.
  bool sharedSerial = false;
};
// A twin is never the One: with twins among them, the matches are Several.
Choice ChooseHandController(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial);

// "index  usb id  serial  description  updater" table, one chip per line; a
// twin's "updater" says which chip shares its serial number.
std::string FormatChipTable(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial);
// Why no HandController of twins sharing `serial` is used, and what to do.
std::string SharedSerialText(const std::string& serial);
// What to do when the USB devices can't be opened for lack of permission.
std::string PermissionHint();
// Why info and update found no HandController they could open, when a chip
// is in use by another program.
std::string InUseElsewhereText();

}  // namespace vexo3::cli
