#include "cli/commands.h"

#include <iostream>

#include "cli/output.h"
#include "link/hardware_d2xx.h"
#include "platform/file_access.h"

namespace vexo3::cli {

DeviceSourceOptions SourceOptions(const Options& o) {
  DeviceSourceOptions d;
  if (o.replay) {
    d.kind = DeviceSourceOptions::Kind::Replay;
    d.replay = *o.replay;
  } else if (o.simulate) {
    d.kind = DeviceSourceOptions::Kind::Simulator;
    d.profile = *o.simulate;
    d.virtualTime = o.virtualTime;
  } else {
    d.hardware = MakeHardwareD2xx;
  }
  d.trace = o.trace;
  d.traceStream = &std::cerr;
  return d;
}

int SourceFailed(const CliStreams& io, const SourceError& error) {
  PrintErr(io, SourceErrorMessage("vexo3", error));
  return ExitStatusFor(error.reason);
}

std::optional<int> StartTrace(const Options& o, const CliStreams& io, DeviceSource& source) {
  SourceError error;
  if (!source.StartTrace({{"the firmware package", o.file}}, &error))
    return SourceFailed(io, error);
  return std::nullopt;
}

bool LoadPackageFile(const Options& o, const CliStreams& io, FirmwarePackage& package) {
  if (package.LoadPackage(o.file) == FirmwarePackage::kOk)
    return true;
  PrintErr(io, "vexo3: " + FileErrorText(o.file, LoadStopText(package, o.file)) + "\n");
  return false;
}

std::optional<int> LoadUpdatePackage(const Options& o, const CliStreams& io,
                                     FirmwarePackage& package) {
  if (!LoadPackageFile(o, io, package))
    return kExitPackageError;
  if (!o.noHc && !package.hcImage.IsPresent()) {
    PrintErr(io, "vexo3: \"" + o.file +
                     "\" holds no HandController image (--no-hc updates the Camera only).\n");
    return kExitPackageError;
  }
  if (!o.noCamera && !package.cameraImage.IsPresent()) {
    PrintErr(io, "vexo3: \"" + o.file +
                     "\" holds no Camera image (--no-camera updates the HandController only).\n");
    return kExitPackageError;
  }
  return std::nullopt;
}

}  // namespace vexo3::cli
