// vexo3-make-package: writes a firmware package for the simulated device, in
// the simulator's image convention, so that a simulated update shows the new
// versions afterwards. A developer's tool for demos and tests; not installed.
// It follows vexo3's conventions: usage errors exit 2 with a line of its
// own, its help fits 80 columns, and versions are taken as vexo3 prints them.

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"
#include "platform/console.h"
#include "platform/nearest_name.h"
#include "platform/text_codec.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"

namespace {

constexpr int kExitUsage = 2;
constexpr uint32_t kSmallestImage = vexo3::sim::kSimImageHeaderSize, kLargestImage = 0x1FFFFF;

struct UsageError {
  std::string text;
};

// A number as C writes it: decimal, or hex after "0x".
std::optional<uint64_t> ParseNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 10)
    return std::nullopt;
  uint64_t value = 0;
  for (const char c : digits) {
    const int d = std::isdigit(static_cast<unsigned char>(c))           ? c - '0'
                  : hex && std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                        : -1;
    if (d < 0)
      return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
  }
  return value;
}

uint64_t Number(const std::string& option, const std::string& text, uint64_t min, uint64_t max) {
  const std::optional<uint64_t> n = ParseNumber(text);
  if (!n || *n < min || *n > max)
    throw UsageError{option + ": expected a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + " (decimal, or hex after 0x), not \"" + text + "\""};
  return *n;
}

// A version as vexo3 inspect prints it, "02.10.1" (major and minor in hex,
// then the revision) or "02.10", or the version word itself ("0x0210").
struct Version {
  uint16_t word = 0;
  std::optional<uint8_t> revision;
};

Version ParseVersion(const std::string& option, const std::string& text) {
  auto hexPart = [](std::string_view part, size_t maxDigits) -> std::optional<unsigned> {
    if (part.empty() || part.size() > maxDigits)
      return std::nullopt;
    unsigned value = 0;
    for (const char c : part) {
      if (!std::isxdigit(static_cast<unsigned char>(c)))
        return std::nullopt;
      value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : std::tolower(c) - 'a' + 10);
    }
    return value;
  };
  const size_t dot = text.find('.');
  if (dot == std::string::npos)
    return {static_cast<uint16_t>(Number(option, text, 0, 0xFFFF)), std::nullopt};
  const size_t second = text.find('.', dot + 1);
  const std::string_view all(text);
  const auto major = hexPart(all.substr(0, dot), 2);
  const auto minor = hexPart(
      all.substr(dot + 1, second == std::string::npos ? std::string::npos : second - dot - 1), 2);
  const auto revision =
      second == std::string::npos ? std::optional<unsigned>(0) : hexPart(all.substr(second + 1), 1);
  if (!major || !minor || !revision)
    throw UsageError{option +
                     ": expected a version as vexo3 inspect prints it (02.10.1 or 02.10) " +
                     "or the version word (0x0210), not \"" + text + "\""};
  Version v{static_cast<uint16_t>(*major << 8 | *minor), std::nullopt};
  if (second != std::string::npos)
    v.revision = static_cast<uint8_t>(*revision);
  return v;
}

// One image's options, as typed.
struct ImageArgs {
  std::string version, flags, size, startCode, description;
  bool leaveOut = false;
};

vexo3::sim::PackageRecord Record(const char* kind, const char* prefix, const ImageArgs& a,
                                 uint8_t fill) {
  const std::string p = std::string("--") + prefix + "-";
  const Version version = ParseVersion(p + "version", a.version);
  auto flags = static_cast<uint16_t>(Number(p + "flags", a.flags, 0, 0xFFFF));
  if (version.revision)
    flags = static_cast<uint16_t>((flags & 0x0FFF) | *version.revision << 12);
  const auto size =
      static_cast<uint32_t>(Number(p + "size", a.size, kSmallestImage, kLargestImage));
  vexo3::sim::PackageRecord r;
  r.kind = kind;
  r.version = version.word;
  r.flags = flags;
  r.startCode = static_cast<uint16_t>(Number(p + "start-code", a.startCode, 0, 0xFFFF));
  r.description = a.description;
  r.data = vexo3::sim::MakeSimImage(r.version, r.flags, r.description, size, fill);
  return r;
}

// The parser's complaint in our words.
std::string UsageText(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr)
    return "name the package file to write (vexo3-make-package OUTPUT [OPTIONS])";
  std::vector<std::string> names;
  for (const CLI::Option* opt : app.get_options()) {
    for (const std::string& n : opt->get_lnames())
      names.push_back("--" + n);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const std::string name = a.substr(0, a.find('='));
    if (a.rfind("-", 0) != 0 || app.get_option_no_throw(name) != nullptr)
      continue;
    const std::vector<std::string_view> known(names.begin(), names.end());
    return "unknown option \"" + name + "\"" + vexo3::DidYouMean(name, known);
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr)
    return "one package file at a time";
  return e.what();
}

}  // namespace

int main(int argc, char** argv) {
  vexo3::OpenClosedStandardDescriptors();
  CLI::App app{
      "Writes a Vexo-3 firmware package for the simulated device (a developer's tool, "
      "not installed). Versions are taken as vexo3 inspect prints them: 02.10.1 is "
      "version 02.10, revision 1 (bits 12-15 of the flags); the version word "
      "(0x0210) works too.",
      "vexo3-make-package"};
  app.allow_windows_style_options(false);  // "/tmp/demo.bin" is a file, on Windows too
  app.formatter(std::make_shared<vexo3::cli::HelpFormatter>());
  std::string output;
  ImageArgs hc{"0x0200", "0x1000", "393216", "0x5A01", "Vexo-3 HC main firmware"};
  ImageArgs camera{"0x0201", "0x2000", "1048576", "0x5A02", "Vexo-3 Camera firmware"};
  app.add_option("OUTPUT", output, "Package file to write")->required()->type_name("");
  app.add_option("--hc-version", hc.version,
                 "HandController version: 02.10.1, 02.10 or 0x0210 (default 02.00)")
      ->type_name("V");
  app.add_option("--hc-flags", hc.flags,
                 "HandController flags: revision in bits 12-15, supported PCB in bits 5-8 "
                 "(default 0x1000)")
      ->type_name("N");
  app.add_option("--hc-size", hc.size, "HandController image size in bytes, 56 to 2097151")
      ->type_name("N");
  app.add_option("--hc-description", hc.description, "HandController description")
      ->type_name("TEXT");
  app.add_option("--hc-start-code", hc.startCode, "HandController start code")->type_name("N");
  app.add_option("--camera-version", camera.version, "Camera version, as --hc-version")
      ->type_name("V");
  app.add_option("--camera-flags", camera.flags, "Camera flags (default 0x2000)")->type_name("N");
  app.add_option("--camera-size", camera.size, "Camera image size in bytes, 56 to 2097151")
      ->type_name("N");
  app.add_option("--camera-description", camera.description, "Camera description")
      ->type_name("TEXT");
  app.add_option("--camera-start-code", camera.startCode, "Camera start code")->type_name("N");
  app.add_flag("--no-hc", hc.leaveOut, "Leave out the HandController image");
  app.add_flag("--no-camera", camera.leaveOut, "Leave out the Camera image");
  app.footer(
      "Example:\n  vexo3-make-package demo.bin --hc-version 02.10.1 --camera-version 02.05.1");

  std::vector<vexo3::sim::PackageRecord> records;
  try {
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::fputs(app.help().c_str(), stdout);
      return 0;
    } catch (const CLI::ParseError& e) {
      throw UsageError{UsageText(app, e, argc, argv)};
    }
    if (!hc.leaveOut)
      records.push_back(Record("HC", "hc", hc, 1));
    if (!camera.leaveOut)
      records.push_back(Record("CA", "camera", camera, 2));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "vexo3-make-package: %s\nRun with --help for more information.\n",
                 e.text.c_str());
    return kExitUsage;
  }
  if (!vexo3::sim::WritePackage(output, records)) {
    std::fprintf(stderr, "vexo3-make-package: can't write \"%s\"\n",
                 vexo3::EscapeControls(output).c_str());
    return 1;
  }
  std::printf("%s: %zu image(s)\n", vexo3::EscapeControls(output).c_str(), records.size());
  return 0;
}
