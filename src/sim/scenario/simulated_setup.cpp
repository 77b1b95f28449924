#include "sim/scenario/simulated_setup.h"

#include <utility>

#include "platform/clock.h"
#include "platform/file_access.h"
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
  std::string why;
  std::string text;
  // Checked before the lock file is made beside it: a state_file that is a
  // device or a FIFO must not get one.
  if (ReadRegularFile(stateFile_, kMaxFileBytes, &text, &why) == ReadFileResult::kRefused) {
    if (error != nullptr)
      *error = FileErrorText(stateFile_, why);
    return false;
  }
  switch (stateLock_.TryLock(stateFile_, &why)) {
    case FileLock::Result::kLocked:
      break;
    case FileLock::Result::kBusy:
      // Another program is using this simulated device: its chips can't be
      // opened, as a real chip held by another program.
      for (size_t i = 0; i < bus_->ChipCount(); ++i)
        bus_->Chip(i).MutableInfo().openElsewhere = true;
      return true;
    case FileLock::Result::kFailed:
      if (error != nullptr)
        *error = FileErrorText(
            stateFile_, "can't be locked (" + FileLock::LockPath(stateFile_) + ": " + why + ")");
      return false;
  }
  // Read again under the lock: its last holder may have saved since.
  switch (ReadRegularFile(stateFile_, kMaxFileBytes, &text, &why)) {
    case ReadFileResult::kOk:
      break;
    case ReadFileResult::kMissing:
      return true;  // first run: the units keep the profile's firmware
    case ReadFileResult::kRefused:
      if (error != nullptr)
        *error = FileErrorText(stateFile_, why);
      return false;
  }
  std::vector<ChipFirmwareState> chips;
  if (!FirmwareStateFromJson(text, &chips, &why)) {
    if (error != nullptr)
      *error = FileErrorText(stateFile_, why) +
               "\n(not a state file this program wrote; remove it to start afresh with the "
               "profile's firmware)";
    return false;
  }
  for (size_t i = 0; i < controllers_.size(); ++i) {
    if (!controllers_[i])
      continue;
    for (const ChipFirmwareState& saved : chips) {
      if (saved.serial == serials_[i]) {
        controllers_[i]->LoadFirmwareState(saved.state);
        break;
      }
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
  std::string why;
  if (!WriteFileAtomically(stateFile_, FirmwareStateToJson(chips), &why)) {
    if (error != nullptr)
      *error = FileErrorText(stateFile_, "can't be saved: " + why);
    return false;
  }
  return true;
}

}  // namespace vexo3::sim
