#pragma once

// Reading vexo3's command line beyond what the parser does: help that fits
// 80 columns, "--simulate" and "--trace" that take their value only after
// '=', and a mistyped command or option named with the nearest known one.

#include <CLI/CLI.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexo3::cli {

inline constexpr std::string_view kCommands[] = {"devices", "info", "inspect", "update", "station"};

// CLI11's layout, with the descriptions wrapped to fit 80 columns.
class HelpFormatter final : public CLI::Formatter {
 public:
  HelpFormatter();
  std::string make_description(const CLI::App* app) const override;
  // Only the value's name, an optional one glued to the option
  // ("--trace[=FILE]"); the descriptions say which options exclude others.
  std::string make_option_opts(const CLI::Option* opt) const override;
  std::string make_option_desc(const CLI::Option* opt) const override;
  std::string make_subcommand(const CLI::App* sub) const override;
};

struct Arguments {
  std::vector<std::string> words;
  // Words that followed a bare "--simulate" or "--trace", with the option:
  // what the user may have meant as its value.
  std::vector<std::pair<std::string, std::string>> afterBare;
};

// "--simulate" and "--trace" take their value only after '=': a bare one
// must never swallow the next argument (a subcommand, the file, or a
// mistyped command). The parser gives an optional value the next word
// unless that names a command, so a bare one moves to the end of the
// options, where there is nothing to take.
Arguments NormaliseArgs(int argc, const char* const* argv);

// A failed parse often means a mistyped command or option, which the
// parser reports as a missing command or an unexpected argument: name the
// word instead, with the nearest known one. Empty when neither is the case.
std::string MistypedWordText(const CLI::App& app, const Arguments& args);

}  // namespace vexo3::cli
