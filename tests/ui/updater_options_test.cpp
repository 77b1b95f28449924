// The dialog program's command line, the same for the Qt and the Win32 one.

#include "ui/core/updater_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexo3 {
namespace {

using Args = std::vector<std::string>;

TEST(UpdaterOptions, Parsing) {
  EXPECT_FALSE(ParseUpdaterOptions(Args{}).simulate);
  EXPECT_TRUE(ParseUpdaterOptions(Args{"--simulate"}).simulate);
  EXPECT_TRUE(ParseUpdaterOptions(Args{"--simulate"}).error.empty());
  EXPECT_EQ(ParseUpdaterOptions(Args{"--simulate", "--screenshot=d"}).screenshotDir, "d");
  EXPECT_FALSE(ParseUpdaterOptions(Args{"--screenshot=d"}).error.empty());  // needs --simulate
  EXPECT_FALSE(ParseUpdaterOptions(Args{"--bogus"}).error.empty());
  const UpdaterOptions profile = ParseUpdaterOptions(Args{"--simulate=lab.json"});
  EXPECT_TRUE(profile.simulate && profile.error.empty());
  EXPECT_EQ(profile.simulateProfile, "lab.json");
  EXPECT_FALSE(ParseUpdaterOptions(Args{"--simulate="}).error.empty());
  EXPECT_TRUE(ParseUpdaterOptions(Args{"--help"}).help);
  EXPECT_EQ(ParseUpdaterOptions(Args{"--replay=wire.txt"}).replay, "wire.txt");
  EXPECT_FALSE(ParseUpdaterOptions(Args{"--replay="}).error.empty());
  EXPECT_FALSE(ParseUpdaterOptions(Args{"--simulate", "--replay=wire.txt"}).error.empty());
  EXPECT_EQ(*ParseUpdaterOptions(Args{"--trace=wire.txt"}).trace, "wire.txt");
  EXPECT_EQ(*ParseUpdaterOptions(Args{"--trace"}).trace, "");
  // No Windows-style options: "/simulate" is not --simulate, and a profile
  // path may start with '/'.
  EXPECT_EQ(ParseUpdaterOptions(Args{"/simulate"}).error, "unknown option: /simulate");
  EXPECT_EQ(ParseUpdaterOptions(Args{"--simulate=/lab/p.json"}).simulateProfile, "/lab/p.json");
}

// Before Qt has taken its options: those are left alone, ours are read.
TEST(UpdaterOptions, BeforeQt) {
  EXPECT_TRUE(ParseUpdaterOptionsBeforeQt(Args{"-platform", "xcb", "--help"}).help);
  EXPECT_TRUE(ParseUpdaterOptionsBeforeQt(Args{"-style", "fusion", "--simulate"}).error.empty());
  EXPECT_FALSE(ParseUpdaterOptionsBeforeQt(Args{"-reverse", "--bogus"}).error.empty());
}

}  // namespace
}  // namespace vexo3
