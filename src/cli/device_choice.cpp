#include "cli/device_choice.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "cli/output.h"
#include "platform/nearest_name.h"

namespace vexo3::cli {
namespace {

std::string NoHandControllerText() {
  return std::string("vexo3: no Vexo-3 HandController found (USB id 0403:6015, description \"") +
         kHandControllerDescription + "\").\n";
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The serials of the HandControllers the updater would open.
std::vector<std::string> HandControllerSerials(const std::vector<ChipEntry>& chips) {
  std::vector<std::string> serials;
  for (const ChipEntry& c : chips) {
    if (!c.serial.empty() && c.verdict(std::nullopt) == FtdiDevice::ChipVerdict::kOpens &&
        std::find(serials.begin(), serials.end(), c.serial) == serials.end())
      serials.push_back(c.serial);
  }
  return serials;
}

// `typed` when a HandController has it; else the one HandController serial
// that differs from it only in case ("vx300001"); else `typed`.
std::string MeantSerial(const std::vector<ChipEntry>& chips, const std::string& typed) {
  const std::vector<std::string> serials = HandControllerSerials(chips);
  if (std::find(serials.begin(), serials.end(), typed) != serials.end())
    return typed;
  std::vector<std::string> near;
  for (const std::string& s : serials) {
    if (SameIgnoringCase(s, typed))
      near.push_back(s);
  }
  return near.size() == 1 ? near.front() : typed;
}

// "vexo3: no HandController with the serial number "X" found", with the
// nearest serial of a HandController when one is close.
std::string NoSuchSerialText(const std::vector<ChipEntry>& chips, const std::string& typed) {
  const std::vector<std::string> serials = HandControllerSerials(chips);
  const std::vector<std::string_view> names(serials.begin(), serials.end());
  const std::string hint = DidYouMean(typed, names);
  return "vexo3: no HandController with the serial number \"" + typed + "\" found" +
         (hint.empty() ? "." : hint) + "\n";
}

}  // namespace

bool Survey(const Options& o, const CliStreams& io, D2xxApi& d2xx, DeviceChoice* out) {
  std::string error;
  if (!ListChips(d2xx, &out->chips, &error)) {
    PrintErr(io, "vexo3: " + error + "\n");
    return false;
  }
  out->unreadable = false;
  for (const ChipEntry& c : out->chips)
    out->unreadable = out->unreadable || c.unreadable();
  out->serial = o.serial;
  if (o.serial)
    out->serial = MeantSerial(out->chips, *o.serial);
  out->choice = ChooseHandController(out->chips, out->serial);
  return true;
}

std::optional<int> ChooseOneDevice(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                   DeviceChoice* out) {
  if (!Survey(o, io, d2xx, out))
    return kExitDeviceFailure;
  switch (out->choice.kind) {
    case Choice::Kind::Several:
      // The dialog takes the first; a command line can ask instead of guessing.
      if (out->choice.sharedSerial) {
        PrintErr(io, "vexo3: " + SharedSerialText(out->choice.matches.front().serial) + ":\n");
      } else {
        PrintErr(io, out->serial ? "vexo3: several HandControllers have the serial number \"" +
                                       *out->serial + "\":\n"
                                 : "vexo3: several HandControllers are connected; choose one "
                                   "with --serial SERIAL:\n");
      }
      PrintErr(io, FormatChipTable(out->choice.matches, out->serial));
      return kExitUsage;
    case Choice::Kind::NoSuchSerial:
      PrintErr(io, NoSuchSerialText(out->chips, *o.serial));
      if (!out->chips.empty())
        PrintErr(io, FormatChipTable(out->chips, o.serial));
      if (out->unreadable)
        PrintErr(io, PermissionHint());
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
    PrintErr(io, InUseElsewhereText());
  if (choice.choice.kind != Choice::Kind::None)
    return kExitDeviceFailure;
  PrintErr(io, NoHandControllerText());
  PrintErr(io, choice.unreadable
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
    PrintErr(io, "vexo3: " + error + "\n");
    return kExitDeviceFailure;
  }
  if (o.all) {
    const std::vector<ChipEntry> matches = ChooseHandController(chips, std::nullopt).matches;
    for (const ChipEntry& c : matches) {
      // Each update is held to its chip by the serial number.
      if (c.serial.empty() && matches.size() > 1) {
        PrintErr(io,
                 "vexo3: a HandController has no serial number; among several it can't be told "
                 "apart:\n" +
                     FormatChipTable(chips, std::nullopt));
        return kExitUsage;
      }
      if (std::find(serials->begin(), serials->end(), c.serial) != serials->end()) {
        PrintErr(io, "vexo3: several HandControllers have the serial number \"" + c.serial +
                         "\"; they can't be told apart:\n" + FormatChipTable(chips, std::nullopt));
        return kExitUsage;
      }
      serials->push_back(c.serial);
    }
    if (serials->empty()) {
      PrintErr(io, NoHandControllerText());
      return kExitNoDevice;
    }
    return std::nullopt;
  }
  for (const std::string& typed : o.serials) {
    const std::string s = MeantSerial(chips, typed);
    if (std::find(serials->begin(), serials->end(), s) != serials->end())
      continue;
    const Choice choice = ChooseHandController(chips, s);
    switch (choice.kind) {
      case Choice::Kind::One:
        serials->push_back(s);
        break;
      case Choice::Kind::Several:
        PrintErr(io, "vexo3: several HandControllers have the serial number \"" + s + "\":\n" +
                         FormatChipTable(choice.matches, s));
        return kExitUsage;
      case Choice::Kind::InUseElsewhere:
        PrintErr(io, "vexo3: no HandController with the serial number \"" + s +
                         "\" can be opened.\n" + InUseElsewhereText());
        return kExitDeviceFailure;
      case Choice::Kind::None:
      case Choice::Kind::NoSuchSerial:
        PrintErr(io, NoSuchSerialText(chips, typed));
        return kExitNoDevice;
    }
  }
  return std::nullopt;
}

}  // namespace vexo3::cli
