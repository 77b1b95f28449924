#pragma once

// The --json forms of the command line's outputs. Each returns one JSON
// document (pretty-printed, ending in a line feed).

#include <optional>
#include <string>
#include <vector>

#include "cli/device_list.h"
#include "firmware/firmware_package.h"
#include "ui/core/device_report.h"

namespace vexo3::cli {

std::string DevicesJson(const std::vector<ChipEntry>& chips,
                        const std::optional<std::string>& serial);
std::string DeviceRecordsJson(const DeviceReportRecords& records);
// summary: the text the dialog shows for the package.
// A run that failed before it printed anything: `messages` (what it said on
// stderr, without the program's name) and its exit status, as one document,
// or as one line with "event": "error" where the command prints JSON Lines.
std::string ErrorJson(const std::string& messages, int exitStatus, bool line);
std::string PackageJson(const std::string& path, const FirmwarePackage& package,
                        const std::string& summary);

}  // namespace vexo3::cli
