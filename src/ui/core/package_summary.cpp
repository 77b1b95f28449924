#include "ui/core/package_summary.h"

#include "platform/text_codec.h"
#include "ui/core/text_format.h"

namespace vexo3 {
std::string ImageSummary(const char* heading, const FirmwareImage& image) {
  std::string out = heading;
  AppendFormat(out, "\n  \"%s\"",
               DecodeCp1252(image.description, sizeof image.description).c_str());
  AppendFormat(out, "\n    ver. %02x.%02x.%1x", image.version >> 8, image.version & 0xFF,
               image.revision());
  return out;
}

std::string BuildPackageSummary(const FirmwarePackage& package) {
  return ImageSummary(kHcSummaryHeading, package.hcImage) + "\n" +
         ImageSummary(kCameraSummaryHeading, package.cameraImage) + "\n\n";
}

std::string LoaderErrorText(int loaderCode, const std::string& path) {
  std::string out;
  switch (loaderCode) {
    case FirmwarePackage::kCannotOpen:
      AppendFormat(out, "The file \"%s\" can't be opened.", path.c_str());
      break;
    case FirmwarePackage::kTruncated:
      AppendFormat(out, "The file \"%s\" is truncated: it ends inside a header.", path.c_str());
      break;
    case FirmwarePackage::kBadFormat:
      // One code for three causes: name them all rather than guess.
      AppendFormat(out,
                   "The file \"%s\" is not a firmware package, or one of its images is cut "
                   "short or too large.",
                   path.c_str());
      break;
    case FirmwarePackage::kNoMemory:
      AppendFormat(out, "Out of memory while loading the file \"%s\".", path.c_str());
      break;
    default:
      AppendFormat(out, "Loading the file \"%s\" failed (code %d).", path.c_str(), loaderCode);
      break;
  }
  return out;
}

}  // namespace vexo3
