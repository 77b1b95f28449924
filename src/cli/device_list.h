#pragma once

// The FTDI chips on the bus as the command line shows them, and the choice
// of the one HandController to talk to.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/d2xx.h"

namespace vexo3::cli {

inline constexpr const char* kHandControllerDescription = "Vexo-3 HandController";

struct ChipEntry {
  uint32_t index = 0;  // in the driver's list
  uint32_t usbId = 0;  // vendor << 16 | product
  std::string serial;  // UTF-8 (decoded from the chip's 8-bit text)
  std::string description;
  bool opened = false;  // the driver says another program holds it
  // The driver could read neither string: usually no permission to open the
  // USB device (see the udev rule), or a program holds it.
  bool unreadable() const { return serial.empty() && description.empty(); }
  // The updater opens chips with its USB id and exactly this description.
  bool isHandController() const;
};

// The chips with USB id 0403:6015, in the driver's order. False with *error
// when enumeration fails.
bool ListChips(D2xxApi& d2xx, std::vector<ChipEntry>* chips, std::string* error);

// Which HandController to use.
struct Choice {
  enum class Kind { One, None, NoSuchSerial, Several } kind = Kind::None;
  std::vector<ChipEntry> matches;  // the HandControllers (with --serial: that serial's)
};
Choice ChooseHandController(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial);

// "index  usb id  serial  description  updater" table, one chip per line.
std::string FormatChipTable(const std::vector<ChipEntry>& chips,
                            const std::optional<std::string>& serial);
// What to do when the USB devices can't be opened for lack of permission.
std::string PermissionHint();

}  // namespace vexo3::cli
