#pragma once

// The commands of vexo3, each in a file of its own, and what they share.
// Each returns its exit status (cli_app.h).

#include <optional>

#include "cli/cli_app.h"
#include "cli/options.h"
#include "firmware/firmware_package.h"
#include "run/device_source.h"

namespace vexo3::cli {

// devices (and devices --watch): the chips on the bus.
int DevicesCommand(const Options& o, const CliStreams& io, DeviceSource& source);
// info: "Read device info".
int InfoCommand(const Options& o, const CliStreams& io, DeviceSource& source);
// inspect FILE: the package's summary; touches no device.
int InspectCommand(const Options& o, const CliStreams& io);
// update FILE: "Update firmwares", on one device or several.
int UpdateCommand(const Options& o, const CliStreams& io, DeviceSource& source);
// station FILE: updates each HandController as it is plugged in.
int StationCommand(const Options& o, const CliStreams& io, DeviceSource& source);

// --- Shared by the commands ---

// Prints a failure of the device source; its exit status.
int SourceFailed(const CliStreams& io, const SourceError& error);
// Opens --trace=FILE once the run's inputs are loaded; an exit status on
// failure.
std::optional<int> StartTrace(const Options& o, const CliStreams& io, DeviceSource& source);
// Loads the package named by the file argument; false, having named the
// file and the cause on stderr, when it can't be loaded.
bool LoadPackageFile(const Options& o, const CliStreams& io, FirmwarePackage& package);
// LoadPackageFile, then that the package holds the images asked for (the
// dialog silently does nothing without them; say why): an exit status when
// it doesn't.
std::optional<int> LoadUpdatePackage(const Options& o, const CliStreams& io,
                                     FirmwarePackage& package);

}  // namespace vexo3::cli
