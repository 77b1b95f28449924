// vexo3-make-package: writes a firmware package for the simulated device, in
// the simulator's image convention, so that a simulated update shows the new
// versions afterwards. A developer's tool for demos and tests; not installed.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <vector>

#include "platform/console.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"

int main(int argc, char** argv) {
  vexo3::OpenClosedStandardDescriptors();
  CLI::App app{"Writes a Vexo-3 firmware package for the simulated device", "vexo3-make-package"};
  app.allow_windows_style_options(false);  // "/tmp/demo.bin" is a file, on Windows too
  std::string output;
  uint16_t hcVersion = 0x0200, hcFlags = 0x1000, hcStart = 0x5A01;
  uint16_t camVersion = 0x0201, camFlags = 0x2000, camStart = 0x5A02;
  uint32_t hcSize = 393216, camSize = 1048576;
  std::string hcText = "Vexo-3 HC main firmware", camText = "Vexo-3 Camera firmware";
  bool noHc = false, noCamera = false;
  app.add_option("OUTPUT", output, "Package file to write")->required();
  app.add_option("--hc-version", hcVersion, "HandController version word (0x0200 = 02.00)");
  app.add_option("--hc-flags", hcFlags,
                 "HandController flags (revision in bits 12-15, "
                 "supported PCB in bits 5-8)");
  app.add_option("--hc-size", hcSize, "HandController image size in bytes");
  app.add_option("--hc-description", hcText, "HandController description");
  app.add_option("--hc-start-code", hcStart, "HandController start code");
  app.add_option("--camera-version", camVersion, "Camera version word");
  app.add_option("--camera-flags", camFlags, "Camera flags");
  app.add_option("--camera-size", camSize, "Camera image size in bytes");
  app.add_option("--camera-description", camText, "Camera description");
  app.add_option("--camera-start-code", camStart, "Camera start code");
  app.add_flag("--no-hc", noHc, "Leave out the HandController image");
  app.add_flag("--no-camera", noCamera, "Leave out the Camera image");
  CLI11_PARSE(app, argc, argv);

  for (uint32_t size : {hcSize, camSize}) {
    if (size < vexo3::sim::kSimImageHeaderSize || size > 0x1FFFFF) {
      std::fprintf(stderr, "vexo3-make-package: image sizes must be 56 to 2097151 bytes\n");
      return 2;
    }
  }
  std::vector<vexo3::sim::PackageRecord> records;
  if (!noHc) {
    vexo3::sim::PackageRecord r;
    r.kind = "HC";
    r.version = hcVersion;
    r.flags = hcFlags;
    r.startCode = hcStart;
    r.description = hcText;
    r.data = vexo3::sim::MakeSimImage(hcVersion, hcFlags, hcText, hcSize, 1);
    records.push_back(std::move(r));
  }
  if (!noCamera) {
    vexo3::sim::PackageRecord r;
    r.kind = "CA";
    r.version = camVersion;
    r.flags = camFlags;
    r.startCode = camStart;
    r.description = camText;
    r.data = vexo3::sim::MakeSimImage(camVersion, camFlags, camText, camSize, 2);
    records.push_back(std::move(r));
  }
  if (!vexo3::sim::WritePackage(output, records)) {
    std::fprintf(stderr, "vexo3-make-package: can't write %s\n", output.c_str());
    return 1;
  }
  std::printf("%s: %zu image(s)\n", output.c_str(), records.size());
  return 0;
}
