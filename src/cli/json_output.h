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
std::string PackageJson(const std::string& path, const FirmwarePackage& package,
                        const std::string& summary);

}  // namespace vexo3::cli
