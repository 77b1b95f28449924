#include "cli/device_choice.h"

#include <algorithm>

#include "cli/output.h"

namespace vexo3::cli {
namespace {

std::string NoHandControllerText() {
  return std::string("vexo3: no Vexo-3 HandController found (USB id 0403:6015, description \"") +
         kHandControllerDescription + "\").\n";
}

}  // namespace

bool Survey(const Options& o, const CliStreams& io, D2xxApi& d2xx, DeviceChoice* out) {
  std::string error;
  if (!ListChips(d2xx, &out->chips, &error)) {
    Print(io.err, "vexo3: " + error + "\n");
    return false;
  }
  out->unreadable = false;
  for (const ChipEntry& c : out->chips)
    out->unreadable = out->unreadable || c.unreadable();
  out->choice = ChooseHandController(out->chips, o.serial);
  return true;
}

std::optional<int> ChooseOneDevice(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                   DeviceChoice* out) {
  if (!Survey(o, io, d2xx, out))
    return kExitDeviceFailure;
  switch (out->choice.kind) {
    case Choice::Kind::Several:
      // The dialog takes the first; a command line can ask instead of guessing.
      Print(io.err, o.serial ? "vexo3: several HandControllers have the serial number \"" +
                                   *o.serial + "\":\n"
                             : "vexo3: several HandControllers are connected; choose one with "
                               "--serial SERIAL:\n");
      Print(io.err, FormatChipTable(out->choice.matches, o.serial));
      return kExitUsage;
    case Choice::Kind::NoSuchSerial:
      Print(io.err,
            "vexo3: no HandController with the serial number \"" + *o.serial + "\" found.\n");
      if (!out->chips.empty())
        Print(io.err, FormatChipTable(out->chips, o.serial));
      if (out->unreadable)
        Print(io.err, PermissionHint());
      return kExitNoDevice;
    case Choice::Kind::None:
    case Choice::Kind::One:
    case Choice::Kind::InUseElsewhere:
      break;
  }
  return std::nullopt;
}

int DeviceFailure(const CliStreams& io, const DeviceChoice& choice) {
  if (choice.choice.kind == Choice::Kind::InUseElsewhere)
    Print(io.err, InUseElsewhereText());
  if (choice.choice.kind != Choice::Kind::None)
    return kExitDeviceFailure;
  Print(io.err, NoHandControllerText());
  Print(io.err, choice.unreadable
                    ? PermissionHint()
                    : "Check that the HandController is plugged in and the device is "
                      "switched on;\n\"vexo3 devices\" lists the chips that are seen.\n");
  return kExitNoDevice;
}

std::optional<int> ChooseSeveralDevices(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                        std::vector<std::string>* serials) {
  std::vector<ChipEntry> chips;
  std::string error;
  if (!ListChips(d2xx, &chips, &error)) {
    Print(io.err, "vexo3: " + error + "\n");
    return kExitDeviceFailure;
  }
  if (o.all) {
    const std::vector<ChipEntry> matches = ChooseHandController(chips, std::nullopt).matches;
    for (const ChipEntry& c : matches) {
      // Each update is held to its chip by the serial number.
      if (c.serial.empty() && matches.size() > 1) {
        Print(io.err,
              "vexo3: a HandController has no serial number; among several it can't be told "
              "apart:\n" +
                  FormatChipTable(chips, std::nullopt));
        return kExitUsage;
      }
      if (std::find(serials->begin(), serials->end(), c.serial) != serials->end()) {
        Print(io.err, "vexo3: several HandControllers have the serial number \"" + c.serial +
                          "\"; they can't be told apart:\n" + FormatChipTable(chips, std::nullopt));
        return kExitUsage;
      }
      serials->push_back(c.serial);
    }
    if (serials->empty()) {
      Print(io.err, NoHandControllerText());
      return kExitNoDevice;
    }
    return std::nullopt;
  }
  for (const std::string& s : o.serials) {
    if (std::find(serials->begin(), serials->end(), s) != serials->end())
      continue;
    const Choice choice = ChooseHandController(chips, s);
    switch (choice.kind) {
      case Choice::Kind::One:
        serials->push_back(s);
        break;
      case Choice::Kind::Several:
        Print(io.err, "vexo3: several HandControllers have the serial number \"" + s + "\":\n" +
                          FormatChipTable(choice.matches, s));
        return kExitUsage;
      case Choice::Kind::InUseElsewhere:
        Print(io.err, "vexo3: no HandController with the serial number \"" + s +
                          "\" can be opened.\n" + InUseElsewhereText());
        return kExitDeviceFailure;
      case Choice::Kind::None:
      case Choice::Kind::NoSuchSerial:
        Print(io.err, "vexo3: no HandController with the serial number \"" + s + "\" found.\n");
        return kExitNoDevice;
    }
  }
  return std::nullopt;
}

}  // namespace vexo3::cli
