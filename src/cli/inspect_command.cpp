// vexo3 inspect FILE: what a package holds, as the dialog's summary shows it.

#include <tuple>

#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/output.h"
#include "ui/core/package_summary.h"
#include "ui/core/update_engine.h"

namespace vexo3::cli {
namespace {

// The dialog's summary, except that an image the package lacks is said to
// be absent rather than shown with the empty fields the dialog prints.
std::string InspectText(const FirmwarePackage& package, const std::string& summary) {
  if (package.hcImage.IsPresent() && package.cameraImage.IsPresent())
    return summary;
  std::string out;
  for (const auto& [heading, unit] : {std::tuple{kHcSummaryHeading, Unit::HandController},
                                      std::tuple{kCameraSummaryHeading, Unit::Camera}}) {
    const FirmwareImage& image = PackageImage(package, unit);
    out += image.IsPresent() ? ImageSummary(heading, image)
                             : std::string(heading) + "\n  none: the package holds no " +
                                   std::string(UnitName(unit)) + " image";
    out += "\n";
  }
  return out + "\n";
}

}  // namespace

int InspectCommand(const Options& o, const CliStreams& io) {
  FirmwarePackage package;
  if (!LoadPackageFile(o, io, package))
    return kExitPackageError;
  const std::string summary = BuildPackageSummary(package);
  if (o.json)
    PrintJson(io, PackageJson(o.file, package, summary));
  else
    PrintOut(io, InspectText(package, summary));
  return kExitOk;
}

}  // namespace vexo3::cli
