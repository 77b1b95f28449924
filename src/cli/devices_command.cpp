// vexo3 devices [--watch]: the chips on the bus, once or as they come and go.

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
  std::map<std::string, ChipEntry> known;
  bool first = true;
  for (uint32_t n = 0; !polls || n < *polls; ++n) {
    std::vector<ChipEntry> chips;
    std::string error;
    if (!ListChips(source.d2xx(), &chips, &error)) {
      output.Err("vexo3: " + error + "\n");
      return kExitDeviceFailure;
    }
    std::map<std::string, ChipEntry> now;
    for (const ChipEntry& c : chips)
      now.emplace(ChipName(c), c);
    auto say = [&](const char* event, const ChipEntry& c) {
      const bool hc = c.verdict(std::nullopt) == FtdiDevice::ChipVerdict::kOpens;
      if (json) {
        output.Out(nlohmann::json{{"event", event},
                                  {"serial", c.serial},
                                  {"description", c.description},
                                  {"hand_controller", hc}}
                       .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                   "\n");
      } else {
        output.Out(std::string(event) + "  " + ChipName(c) + "  " +
                   (c.description.empty() ? "-" : c.description) + "\n");
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
    PrintOut(io, DevicesJson(found.chips, o.serial));
  } else if (found.chips.empty()) {
    PrintOut(io, "No FTDI chip with USB id 0403:6015 found.\n");
  } else {
    PrintOut(io, FormatChipTable(found.chips, o.serial));
  }
  if (found.unreadable)
    Print(io.err, PermissionHint());
  if (!o.json && found.choice.kind == Choice::Kind::Several) {
    Print(io.err, o.serial ? "Several HandControllers have that serial number.\n"
                           : "Several HandControllers: choose one with --serial SERIAL.\n");
  }
  return found.chips.empty() ? kExitNoDevice : kExitOk;
}

}  // namespace vexo3::cli
