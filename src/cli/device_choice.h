#pragma once

// Which HandController a command talks to: the one rule, for one device and
// for several, with what the command line says when it can't choose.

#include <optional>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/device_list.h"
#include "cli/options.h"

namespace vexo3 {
class D2xxApi;
}

namespace vexo3::cli {

// The chips on the bus and the HandController the options point at.
struct DeviceChoice {
  std::vector<ChipEntry> chips;
  Choice choice;
  bool unreadable = false;  // a chip's strings can't be read (permissions)
};

// Lists the chips and applies the rule for --serial. False, having said
// why on stderr, when the chips can't be listed.
bool Survey(const Options& o, const CliStreams& io, D2xxApi& d2xx, DeviceChoice* out);

// For a command that talks to one device: nullopt to go on (also with no
// device at all: the action fails and DeviceFailure says so), else the exit
// status, said on stderr (several HandControllers and no --serial, or no
// such serial).
std::optional<int> ChooseOneDevice(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                   DeviceChoice* out);

// After a failed device action: 3, with the reason, when there was no
// device to begin with; 1 otherwise.
int DeviceFailure(const CliStreams& io, const DeviceChoice& choice);

// For several devices (--all, or several --serial): the serial of each, or
// the exit status, said on stderr, when they can't all be told apart or
// aren't there (then nothing may be touched).
std::optional<int> ChooseSeveralDevices(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                        std::vector<std::string>* serials);

}  // namespace vexo3::cli
