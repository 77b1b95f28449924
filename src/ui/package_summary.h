#pragma once

#include <string>

#include "firmware/firmware_package.h"

namespace vexo3 {

// The six-line summary of both images as the package holds them, present or
// not (UTF-8, ends in "\n\n"). Pure.
std::string BuildPackageSummary(const FirmwarePackage& package);

// Our text for a non-zero FirmwarePackage::LoadPackage code, naming the cause
// and the file. path is shown as given (UTF-8).
std::string LoaderErrorText(int loaderCode, const std::string& path);

}  // namespace vexo3
