#include "cli/arguments.h"

#include <algorithm>
#include <sstream>

#include "platform/nearest_name.h"

namespace vexo3::cli {
namespace {

// Help at most this wide, so that it fits an 80-column terminal.
constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpNameColumn = 26;

// Lines of at most `width` characters, broken at spaces; line breaks of
// the text stay.
std::string Wrap(const std::string& text, size_t width) {
  std::string out;
  std::istringstream lines(text);
  for (std::string paragraph; std::getline(lines, paragraph);) {
    if (!out.empty())
      out += "\n";
    std::string line;
    std::istringstream words(paragraph);
    for (std::string word; words >> word;) {
      if (!line.empty() && line.size() + 1 + word.size() > width) {
        out += line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
    }
    out += line;
  }
  return out;
}

}  // namespace

HelpFormatter::HelpFormatter() {
  column_width(kHelpNameColumn);
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
  return Wrap(app->get_description(), kHelpWidth) + "\n";
}

std::string HelpFormatter::make_option_opts(const CLI::Option* opt) const {
  const std::string& type = opt->get_type_name();
  if (opt->get_type_size() == 0 || type.empty())
    return "";
  std::string out = type.rfind("[=", 0) == 0 ? type : " " + type;
  if (opt->get_required())
    out += " REQUIRED";
  return out;
}

std::string HelpFormatter::make_option_desc(const CLI::Option* opt) const {
  return Wrap(opt->get_description(), kHelpWidth - kHelpNameColumn);
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
  std::stringstream out;
  CLI::detail::format_help(out, sub->get_display_name(true),
                           Wrap(sub->get_description(), kHelpWidth - kHelpNameColumn),
                           kHelpNameColumn);
  return out.str();
}

Arguments NormaliseArgs(int argc, const char* const* argv) {
  Arguments out;
  std::vector<std::string> bare;
  size_t optionsEnd = 0;  // where "--" stands, if it does
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i] ? argv[i] : "";
    if (i > 0 && optionsEnd == 0 && (a == "--simulate" || a == "--trace")) {
      if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-')
        out.afterBare.emplace_back(argv[i + 1], a);
      bare.push_back(a + "=");
      continue;
    }
    if (i > 0 && optionsEnd == 0 && a == "--")
      optionsEnd = out.words.size();
    out.words.push_back(std::move(a));
  }
  out.words.insert(optionsEnd == 0 ? out.words.end() : out.words.begin() + optionsEnd, bare.begin(),
                   bare.end());
  return out;
}

namespace {

std::string OptionName(const std::string& arg) {
  const size_t eq = arg.find('=');
  if (arg.rfind("--", 0) == 0)
    return arg.substr(0, eq);
  return arg.substr(0, 2);  // "-y", also of a cluster such as "-yh"
}

// Every option name of app ("--yes", "-y"); with `visibleOnly`, those its
// help shows.
std::vector<std::string> OptionNames(const CLI::App& app, bool visibleOnly) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : app.get_options()) {
    if (visibleOnly && opt->get_group().empty())
      continue;
    for (const std::string& n : opt->get_lnames())
      names.push_back("--" + n);
    for (const std::string& n : opt->get_snames())
      names.push_back("-" + n);
  }
  return names;
}

// The option among `known` nearest to `typed`, compared without their
// dashes: "-x" is not a typo of "-h".
std::string NearestOption(const std::string& typed, const std::vector<std::string>& known) {
  auto bare = [](const std::string& name) {
    return std::string_view(name).substr(std::min(name.find_first_not_of('-'), name.size()));
  };
  std::vector<std::string_view> names;
  for (const std::string& k : known)
    names.push_back(bare(k));
  const std::string nearest = NearestName(bare(typed), names);
  for (size_t i = 0; i < names.size(); ++i) {
    if (!nearest.empty() && names[i] == nearest)
      return "; did you mean \"" + known[i] + "\"?";
  }
  return "";
}

}  // namespace

std::string MistypedWordText(const CLI::App& app, const Arguments& args) {
  // The command stands at the first word that is neither an option nor the
  // value of one.
  std::string command;
  for (size_t i = 1; i < args.words.size(); ++i) {
    const std::string& a = args.words[i];
    if (a == "--")
      break;
    if (a.size() > 1 && a[0] == '-') {
      const CLI::Option* opt = app.get_option_no_throw(OptionName(a));
      if (opt != nullptr && a.find('=') == std::string::npos && opt->get_items_expected_min() > 0)
        ++i;  // "--serial SERIAL"
      continue;
    }
    command = a;
    break;
  }
  const std::vector<std::string_view> commands(std::begin(kCommands), std::end(kCommands));
  const bool known = std::find(commands.begin(), commands.end(), command) != commands.end();
  if (!command.empty() && !known) {
    std::string text = "unknown command \"" + command + "\"";
    const std::string hint = DidYouMean(command, commands);
    if (!hint.empty())
      return text + hint;
    for (const auto& [word, option] : args.afterBare) {
      if (word == command)
        return text + " (" + option + " takes its value only after '=': " + option + "=" + word +
               ")";
    }
    return text;
  }

  // Options: those of the main program and of every command are known; the
  // nearest is sought among those that apply here and --help shows.
  std::vector<std::string> all = OptionNames(app, false), here = all,
                           shown = OptionNames(app, true);
  for (const CLI::App* sub : app.get_subcommands({})) {
    const std::vector<std::string> names = OptionNames(*sub, false);
    all.insert(all.end(), names.begin(), names.end());
    if (!known || sub->get_name() == command) {
      here.insert(here.end(), names.begin(), names.end());
      const std::vector<std::string> visible = OptionNames(*sub, true);
      shown.insert(shown.end(), visible.begin(), visible.end());
    }
  }
  for (size_t k = 1; k < args.words.size() && args.words[k] != "--"; ++k) {
    const std::string& a = args.words[k];
    if (a.size() < 2 || a[0] != '-')
      continue;
    const std::string name = OptionName(a);
    if (std::find(here.begin(), here.end(), name) != here.end())
      continue;
    if (std::find(all.begin(), all.end(), name) == all.end())
      return "unknown option \"" + name + "\"" + NearestOption(name, shown);
    if (known)
      return "\"" + name + "\" is not an option of " + command;
  }
  return "";
}

}  // namespace vexo3::cli
