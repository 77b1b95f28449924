#include "sim/scenario/simulated_setup.h"

#include <utility>

#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/output_file.h"
#include "sim/scenario/json_fields.h"
#include "sim/scenario/state_file.h"

namespace vexo3::sim {

using json_fields::kMaxFileBytes;

SimulatedSetup::SimulatedSetup(Clock& clock, const Scenario& scenario, std::string stateFile)
    : bus_(std::make_unique<SimulatedBus>(clock)), stateFile_(std::move(stateFile)) {
  for (const ChipScenario& chip : scenario.chips) {
    std::unique_ptr<SimHandController> hc;
    if (chip.handController) {
      hc = std::make_unique<SimHandController>(*chip.handController);
      for (const Fault& fault : scenario.faults)
        hc->AddFault(fault);
      for (const Fault& fault : chip.faults)
        hc->AddFault(fault);
    }
    ChipInfo info;
    info.plugInMs = chip.plugInMs;
    info.unplugMs = chip.unplugMs;
    info.replugMs = chip.replugMs;
    info.usbId = chip.usbId;
    info.description = chip.description;
    info.serial = chip.serial;
    bus_->AddChip(info, hc.get());
    controllers_.push_back(std::move(hc));
    serials_.push_back(chip.serial);
  }
}

SimulatedSetup::SimulatedSetup(Clock& clock, const Profile& profile)
    : SimulatedSetup(clock, profile.scenario, profile.stateFile) {
  for (size_t i = 0; i < profile.chipInaccessible.size() && i < bus_->ChipCount(); ++i) {
    bus_->Chip(i).MutableInfo().inaccessible = profile.chipInaccessible[i];
  }
  for (size_t i = 0; i < profile.chipInUseElsewhere.size() && i < bus_->ChipCount(); ++i) {
    if (profile.chipInUseElsewhere[i]) {
      // Held by another process, as Windows lists such a chip.
      bus_->Chip(i).MutableInfo().openElsewhere = true;
      bus_->Chip(i).MutableInfo().listedBlank = true;
    }
  }
}

SimulatedSetup::~SimulatedSetup() {
  // The bus goes first: its chips point at the controllers.
  bus_.reset();
}

bool SimulatedSetup::LoadState(std::string* error) {
  if (stateFile_.empty())
    return true;
  auto refuse = [&](const std::string& text) {
    if (error != nullptr)
      *error = text;
    return false;
  };
  auto notAStateFile = [&](const std::string& why) {
    return refuse(FileErrorText(stateFile_, why) +
                  "\n(not a state file this program wrote, so it is left as it is; if it was "
                  "one, remove it to start afresh with the profile's firmware)");
  };
  // A symlink is followed: its target is read, locked and replaced, so the
  // link stays a link and every name of the file shares one lock.
  stateTarget_ = ResolvedPath(stateFile_);
  std::string why;
  std::string text;
  std::vector<ChipFirmwareState> chips;
  // Checked before the lock file is made beside it: a state_file that is a
  // device, a FIFO or another kind of file must not get one.
  switch (ReadRegularFile(stateTarget_, kMaxFileBytes, &text, &why)) {
    case ReadFileResult::kOk:
      if (!FirmwareStateFromJson(text, &chips, &why))
        return notAStateFile(why);
      break;
    case ReadFileResult::kMissing:
      break;
    case ReadFileResult::kRefused:
      return refuse(FileErrorText(stateFile_, why));
  }
  switch (stateLock_.TryLock(stateTarget_, &why)) {
    case FileLock::Result::kLocked:
      break;
    case FileLock::Result::kBusy:
      // Another program is using this simulated device: its chips can't be
      // opened, as a real chip held by another program.
      for (size_t i = 0; i < bus_->ChipCount(); ++i)
        bus_->Chip(i).MutableInfo().openElsewhere = true;
      return true;
    case FileLock::Result::kFailed:
      return refuse(FileErrorText(
          stateFile_, "can't be locked (" + FileLock::LockPath(stateTarget_) + ": " + why + ")"));
  }
  // Read again under the lock: its last holder may have saved since.
  switch (ReadRegularFile(stateTarget_, kMaxFileBytes, &text, &why)) {
    case ReadFileResult::kOk:
      break;
    case ReadFileResult::kMissing:
      return true;  // first run: the units keep the profile's firmware
    case ReadFileResult::kRefused:
      return refuse(FileErrorText(stateFile_, why));
  }
  if (!FirmwareStateFromJson(text, &chips, &why))
    return notAStateFile(why);
  // Entries are matched by serial number, and chips that share one by their
  // order among themselves: one twin never gets the other's firmware.
  std::vector<bool> used(chips.size(), false);
  for (size_t i = 0; i < controllers_.size(); ++i) {
    if (!controllers_[i])
      continue;  // nothing saved for it either
    for (size_t k = 0; k < chips.size(); ++k) {
      if (used[k] || chips[k].serial != serials_[i])
        continue;
      used[k] = true;
      controllers_[i]->LoadFirmwareState(chips[k].state);
      break;
    }
  }
  return true;
}

bool SimulatedSetup::SaveState(std::string* error) {
  // Without the lock the state belongs to the program holding it.
  if (stateFile_.empty() || !stateLock_.Held())
    return true;
  std::vector<ChipFirmwareState> chips;
  for (size_t i = 0; i < controllers_.size(); ++i) {
    if (controllers_[i])
      chips.push_back({serials_[i], controllers_[i]->SaveFirmwareState()});
  }
  const std::string text = FirmwareStateToJson(chips);
  // What the next run couldn't read is not written: the old state stays.
  if (text.size() > kMaxFileBytes) {
    if (error != nullptr)
      *error = FileErrorText(stateFile_, "can't be saved: " + TooLargeText(kMaxFileBytes));
    return false;
  }
  std::string why;
  if (!WriteFileAtomically(stateTarget_, text, &why)) {
    if (error != nullptr)
      *error = FileErrorText(stateFile_, "can't be saved: " + why);
    return false;
  }
  return true;
}

}  // namespace vexo3::sim
