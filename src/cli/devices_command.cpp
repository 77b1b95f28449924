// vexo3 devices [--watch]: the chips on the bus, once or as they come and go.

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/device_choice.h"
#include "cli/json_output.h"
#include "cli/multi_update.h"
#include "cli/output.h"
#include "cli/station.h"
#include "platform/clock.h"

namespace vexo3::cli {
namespace {

// Lists the chips whenever they change, until a signal (or, for tests,
// `polls` listings). Exit status 0 after Ctrl-C, which ends it as it ends
// any program.
int WatchDevices(const CliStreams& io, DeviceSource& source, bool json,
                 std::optional<uint32_t> polls) {
  LineOutput output(io);
  // The wall clock at the start, moved on as the source's clock moves: a
  // simulated plug timeline on virtual time shows its own times.
  const std::time_t startTime = std::time(nullptr);
  const int64_t startUs = source.clock().Now().count();
  std::map<std::string, ChipEntry> known;
  bool first = true;
  for (uint32_t n = 0; !polls || n < *polls; ++n) {
    std::vector<ChipEntry> chips;
    std::string error;
    if (!ListChips(source.d2xx(), &chips, &error)) {
      output.Err("vexo3: " + error + "\n");
      return kExitDeviceFailure;
    }
    // Twins share a name: each one after the first is known by its place
    // among them, so the second arriving or leaving is seen too.
    std::map<std::string, ChipEntry> now;
    std::map<std::string, int> sameName;
    for (const ChipEntry& c : chips) {
      const int k = sameName[ChipName(c)]++;
      now.emplace(k == 0 ? ChipName(c) : ChipName(c) + '\n' + std::to_string(k), c);
    }
    const std::time_t when =
        startTime + static_cast<std::time_t>((source.clock().Now().count() - startUs) / 1000000);
    auto say = [&](const char* event, const ChipEntry& c) {
      const bool hc = c.verdict(std::nullopt) == FtdiDevice::ChipVerdict::kOpens;
      if (json) {
        nlohmann::json line{{"event", event},
                            {"time", UtcTimeText(when)},
                            {"serial", c.serial},
                            {"description", c.description},
                            {"hand_controller", hc}};
        if (c.twin >= 0)
          line["same_serial_as"] = c.twin;
        output.Json(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
      } else {
        // "departed" is the longest event: the columns after it stay put.
        std::string line = LocalTimeText(when) + "  " + event;
        line.append(10 - std::min<size_t>(std::strlen(event), 8), ' ');
        std::string name = ChipName(c);
        name.append(16 - std::min<size_t>(name.size(), 16), ' ');  // as in the chip table
        const std::string twin =
            c.twin >= 0 ? "  (chip " + std::to_string(c.twin) + " has the same serial number)" : "";
        output.Out(line + name + "  " + (c.description.empty() ? "-" : c.description) + twin +
                   "\n");
      }
    };
    for (const auto& [name, c] : now) {
      if (known.count(name) == 0)
        say(first ? "present" : "arrived", c);
    }
    for (const auto& [name, c] : known) {
      if (now.count(name) == 0)
        say("departed", c);
    }
    known = std::move(now);
    first = false;
    source.clock().Sleep(kStationPollMs);
  }
  return kExitOk;
}

}  // namespace

int DevicesCommand(const Options& o, const CliStreams& io, DeviceSource& source) {
  if (o.watch)
    return WatchDevices(io, source, o.json, o.polls);
  DeviceChoice found;
  if (!Survey(o, io, source.d2xx(), &found))
    return kExitDeviceFailure;
  if (o.json) {
    PrintJson(io, DevicesJson(found.chips, found.serial));
  } else if (found.chips.empty()) {
    PrintOut(io, "No FTDI chip with USB id 0403:6015 found.\n");
  } else {
    PrintOut(io, FormatChipTable(found.chips, found.serial));
  }
  if (found.unreadable)
    PrintErr(io, PermissionHint());
  if (!o.json && found.choice.kind == Choice::Kind::Several) {
    if (found.choice.sharedSerial) {
      PrintErr(io,
               "HandControllers that share a serial number can't be told apart, even with "
               "--serial: unplug all but one of them.\n");
    } else {
      PrintErr(io, found.serial ? "Several HandControllers have that serial number.\n"
                                : "Several HandControllers: choose one with --serial SERIAL.\n");
    }
  }
  return found.chips.empty() ? kExitNoDevice : kExitOk;
}

}  // namespace vexo3::cli
