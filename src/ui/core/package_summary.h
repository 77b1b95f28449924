#pragma once

#include <string>

#include "firmware/firmware_package.h"

namespace vexo3 {

// Headings of the summary's two entries.
inline constexpr const char kHcSummaryHeading[] = "HC firmware:";
inline constexpr const char kCameraSummaryHeading[] = "Camera firmware";

// One entry of the summary: the heading, the image's description and its
// version on three lines, without a line end after the last. The fields of
// an absent image are whatever the last load left; shown as they are. Pure.
std::string ImageSummary(const char* heading, const FirmwareImage& image);

// The six-line summary of both images as the package holds them, present or
// not (UTF-8, ends in "\n\n"). Pure.
std::string BuildPackageSummary(const FirmwarePackage& package);

// Our text for a non-zero FirmwarePackage::LoadPackage code, naming the cause
// and the file. path is shown as given (UTF-8).
std::string LoaderErrorText(int loaderCode, const std::string& path);

}  // namespace vexo3
