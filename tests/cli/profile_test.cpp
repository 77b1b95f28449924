#include "sim/scenario/profile.h"
#include "sim/scenario/simulated_setup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/clock.h"
#include "support/fixtures.h"

namespace vexo3::sim {
namespace {

TEST(Profile, BadProfilesNameTheKey) {
  for (const test::BadProfile& c : test::kBadProfiles) {
    SCOPED_TRACE(c.text);
    Profile profile;
    std::string error;
    EXPECT_FALSE(ParseProfile(c.text, "", &profile, &error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

// A JSON list of n copies of entry, under key.
std::string List(const char* key, const std::string& entry, size_t n) {
  std::string text = std::string("{\"") + key + "\":[" + entry;
  for (size_t i = 1; i < n; ++i)
    text += "," + entry;
  return text + "]}";
}

// A count is checked before an entry of it is built: a fault list is copied
// to every chip.
TEST(Profile, ListsAreBoundedBeforeTheyAreBuilt) {
  for (const auto& [text, want] :
       {std::pair{List("chips", "{}", 257), "chips: more than 256 chips"},
        {List("faults", R"({"action":"timeout"})", 257), "faults: more than 256 faults"}}) {
    Profile profile;
    std::string error;
    EXPECT_FALSE(ParseProfile(text, "", &profile, &error));
    EXPECT_EQ(error, want);
  }
}

TEST(Profile, EmptyProfileIsTheDefaultScenario) {
  Profile profile;
  std::string error;
  ASSERT_TRUE(ParseProfile("{}", "", &profile, &error)) << error;
  const Scenario defaults;
  ASSERT_EQ(profile.scenario.chips.size(), defaults.chips.size());
  EXPECT_EQ(profile.scenario.chips[0].serial, defaults.chips[0].serial);
  EXPECT_TRUE(profile.scenario.chips[0].handController.has_value());
  EXPECT_TRUE(profile.scenario.faults.empty());
  EXPECT_EQ(profile.stateFile, "");
}

TEST(Profile, EveryKeyReachesTheScenario) {
  const char* text = R"({
    "state_file": "state.json",
    "chips": [
      { "description": "Vexo-3 Prototype", "serial": "P1", "usb_id": "0403:6001",
        "hand_controller": { "mode": "app", "protocol_version": [7, 2], "unique_id": "U",
          "pcb_id": 9, "device_text": "caf\u00e9", "firmware": null,
          "update": { "not_ready_polls": 3, "no_space": true, "refuse_open": true,
                      "refuse_start": true },
          "camera": { "present": false, "mode": "app", "protocol_version": [1, 2],
                      "unique_id": "C", "pcb_id": 4, "firmware": { "status": 15 } } } },
      { "hand_controller": null } ],
    "faults": [ { "unit": "camera", "command": 247, "parameter": 218, "occurrence": 3,
                  "action": "status:9" } ] })";
  Profile p;
  std::string error;
  ASSERT_TRUE(ParseProfile(text, "/tmp/profiles", &p, &error)) << error;
  EXPECT_EQ(p.stateFile, "/tmp/profiles/state.json");
  ASSERT_EQ(p.scenario.chips.size(), 2u);
  const ChipScenario& chip = p.scenario.chips[0];
  EXPECT_EQ(chip.description, "Vexo-3 Prototype");
  EXPECT_EQ(chip.serial, "P1");
  EXPECT_EQ(chip.usbId, 0x04036001u);
  ASSERT_TRUE(chip.handController.has_value());
  const HandControllerConfig& hc = *chip.handController;
  EXPECT_EQ(hc.mode, UnitMode::App);
  EXPECT_EQ(hc.protocolVersion, 7);
  EXPECT_EQ(hc.protocolVersion2, 2);
  EXPECT_EQ(hc.pcbId, 9);
  EXPECT_EQ(hc.deviceText, "caf\xE9");  // 8-bit on the wire
  EXPECT_FALSE(hc.firmware.has_value());
  EXPECT_EQ(hc.update.notReadyPolls, 3u);
  EXPECT_TRUE(hc.update.noSpace && hc.update.refuseOpen && hc.update.refuseStart);
  EXPECT_FALSE(hc.camera.present);
  EXPECT_EQ(hc.camera.mode, UnitMode::App);
  EXPECT_EQ(hc.camera.pcbId, 4);
  ASSERT_TRUE(hc.camera.firmware.has_value());
  EXPECT_EQ(hc.camera.firmware->status, 15);
  EXPECT_FALSE(p.scenario.chips[1].handController.has_value());
  ASSERT_EQ(p.scenario.faults.size(), 1u);
  const Fault& f = p.scenario.faults[0];
  EXPECT_EQ(f.unit, Unit::Camera);
  EXPECT_EQ(f.command, 247);
  EXPECT_EQ(f.parameter, 218);
  EXPECT_EQ(f.occurrence, 3u);
  EXPECT_EQ(f.action, FaultAction::Status);
  EXPECT_EQ(f.value, 9);
}

// A relative state_file lies beside its profile, whichever separator the
// profile's path uses on this system; an absolute one stays as it is.
TEST(Profile, StateFileIsRelativeToTheProfile) {
  test::ScratchDir dir;
  std::string native = dir.path();
#ifdef _WIN32
  std::replace(native.begin(), native.end(), '/', '\\');
  const char separator = '\\';
  const std::string elsewhere = "D:\\elsewhere\\state.json";
  const std::string elsewhereJson = R"(D:\\elsewhere\\state.json)";
#else
  const char separator = '/';
  const std::string elsewhere = "/elsewhere/state.json";
  const std::string elsewhereJson = elsewhere;
#endif
  dir.Write("relative.json", R"({"state_file": "state.json"})");
  dir.Write("absolute.json", R"({"state_file": ")" + elsewhereJson + R"("})");
  const struct {
    std::string profile;
    std::string stateFile;
  } cases[] = {
      {dir.path() + "/relative.json", dir.path() + "/state.json"},
      {native + separator + "relative.json", native + "/state.json"},
      {dir.path() + "/absolute.json", elsewhere},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile);
    Profile profile;
    std::string error;
    ASSERT_TRUE(LoadProfile(c.profile, &profile, &error)) << error;
    EXPECT_EQ(profile.stateFile, c.stateFile);
  }
}

TEST(Profile, StateFileKeepsFirmwareAcrossSetups) {
  test::ScratchDir dir;
  const std::string stateFile = dir.File("state.json");
  VirtualClock clock;
  Scenario scenario;
  FirmwareConfig updated{0, 0x3000, 0x0207, 40, "caf\xE9 firmware"};
  {
    SimulatedSetup setup(clock, scenario, stateFile);
    std::string error;
    ASSERT_TRUE(setup.LoadState(&error)) << error;  // no file yet: nothing to load
    SimFirmwareState state = setup.Controller(0)->SaveFirmwareState();
    state.handController.firmware = updated;
    state.handController.flashSize = 20480;
    state.handController.flashDigest = 0x0123456789ABCDEFull;
    state.camera.firmware.reset();
    setup.Controller(0)->LoadFirmwareState(state);
    ASSERT_TRUE(setup.SaveState(&error)) << error;
  }
  SimulatedSetup again(clock, scenario, stateFile);
  std::string error;
  ASSERT_TRUE(again.LoadState(&error)) << error;
  const SimFirmwareState loaded = again.Controller(0)->SaveFirmwareState();
  ASSERT_TRUE(loaded.handController.firmware.has_value());
  EXPECT_EQ(loaded.handController.firmware->version, 0x0207);
  EXPECT_EQ(loaded.handController.firmware->flags, 0x3000);
  EXPECT_EQ(loaded.handController.firmware->description, "caf\xE9 firmware");
  EXPECT_EQ(loaded.handController.flashDigest, 0x0123456789ABCDEFull);
  EXPECT_EQ(loaded.handController.flashSize, 20480u);
  EXPECT_FALSE(loaded.camera.firmware.has_value());
}

TEST(Profile, MalformedStateFileIsRefused) {
  test::ScratchDir dir;
  const std::string stateFile =
      dir.Write("state.json", R"({"chips":[{"camera":{"flash_size":"x"}}]})");
  VirtualClock clock;
  SimulatedSetup setup(clock, Scenario{}, stateFile);
  std::string error;
  EXPECT_FALSE(setup.LoadState(&error));
  EXPECT_NE(error.find("chips[0].camera.flash_size: expected a number"), std::string::npos)
      << error;
}

// A file that isn't a state file is never taken for one: refused before a
// lock file is made beside it, and never written.
TEST(Profile, OnlyAStateFileIsUsedAsOne) {
  const struct {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"an empty object", "{}", "chips: missing: not a state file"},
      {"another program's settings", R"({"theme": "dark"})", "theme: unknown key"},
      {"more chips than a profile may have", List("chips", "{}", 257),
       "chips: more than 256 chips"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScratchDir dir;
    const std::string stateFile = dir.Write("state.json", c.text);
    VirtualClock clock;
    SimulatedSetup setup(clock, Scenario{}, stateFile);
    std::string error;
    EXPECT_FALSE(setup.LoadState(&error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_TRUE(setup.SaveState(&error));  // nothing to save into it
    EXPECT_EQ(test::ReadText(stateFile), c.text);
    EXPECT_FALSE(std::filesystem::exists(stateFile + ".lock"));
  }
}

// Two chips with one serial number: each keeps its own firmware.
TEST(Profile, TwinsKeepTheirOwnFirmware) {
  test::ScratchDir dir;
  const std::string stateFile = dir.File("state.json");
  Scenario twins;
  twins.chips = {ChipScenario{}, ChipScenario{}};
  VirtualClock clock;
  {
    SimulatedSetup setup(clock, twins, stateFile);
    std::string error;
    ASSERT_TRUE(setup.LoadState(&error)) << error;
    for (size_t i = 0; i < 2; ++i) {
      SimFirmwareState state = setup.Controller(i)->SaveFirmwareState();
      state.handController.firmware->version = static_cast<uint16_t>(0x0300 + i);
      setup.Controller(i)->LoadFirmwareState(state);
    }
    ASSERT_TRUE(setup.SaveState(&error)) << error;
  }
  // A run that changes nothing (a plain "devices") loads and saves them.
  SimulatedSetup setup(clock, twins, stateFile);
  std::string error;
  ASSERT_TRUE(setup.LoadState(&error)) << error;
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(setup.Controller(i)->SaveFirmwareState().handController.firmware->version,
              0x0300 + i);
}

#ifndef _WIN32
// A state file reached through a symlink stays a symlink, and every name of
// it shares one lock.
TEST(Profile, SymlinkedStateFileIsUsedThroughItsTarget) {
  test::ScratchDir dir;
  const std::string target = dir.File("state.json");
  const std::string link = dir.File("link.json");
  std::filesystem::create_symlink(target, link);
  VirtualClock clock;
  SimulatedSetup first(clock, Scenario{}, link);
  std::string error;
  ASSERT_TRUE(first.LoadState(&error)) << error;
  ASSERT_TRUE(first.SaveState(&error)) << error;
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(test::ReadText(target).find("\"chips\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(link + ".lock"));
  // The same file by its own name: held by the first, so in use elsewhere.
  SimulatedSetup second(clock, Scenario{}, target);
  ASSERT_TRUE(second.LoadState(&error)) << error;
  EXPECT_TRUE(second.bus().Chip(0).Info().openElsewhere);
}
#endif

}  // namespace
}  // namespace vexo3::sim
