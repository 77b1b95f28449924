#include "run/device_source.h"

#include <utility>

#include "link/replay_d2xx.h"
#include "link/trace_d2xx.h"
#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/text_codec.h"
#include "sim/bus/sim_bus.h"
#include "sim/scenario/profile.h"
#include "sim/scenario/simulated_setup.h"

namespace vexo3 {

int ExitStatusFor(SourceFailure reason) {
  // NB: README.md shows this table; keep the two together.
  switch (reason) {
    case SourceFailure::Profile:
    case SourceFailure::StateFile:
    case SourceFailure::ReplayTrace:
    case SourceFailure::TraceFile:
      return 2;  // the command line named something unusable
    case SourceFailure::StateSave:
    case SourceFailure::TraceWrite:
      return 1;  // the run itself went through; what it leaves did not
    case SourceFailure::NoDriver:
      return 3;  // no driver, no device: as when no HandController is found
    case SourceFailure::ReplayDiverged:
      return 5;
  }
  return 1;
}

std::string SourceErrorMessage(const char* program, const SourceError& error) {
  if (error.reason == SourceFailure::ReplayDiverged)
    return error.text;
  return std::string(program) + ": " +
         EscapeControls(error.text, KeptControls::kLineBreaksAndTabs) + "\n";
}

DeviceSource::~DeviceSource() = default;

std::unique_ptr<DeviceSource> DeviceSource::Open(const DeviceSourceOptions& options,
                                                 SourceError* error) {
  std::unique_ptr<DeviceSource> source(new DeviceSource);
  DeviceSource& s = *source;
  s.options_ = options;
  auto fail = [error](SourceFailure reason, std::string text) {
    *error = {reason, std::move(text)};
    return nullptr;
  };

  switch (options.kind) {
    case DeviceSourceOptions::Kind::Replay: {
      // The recorded device, on the virtual clock the replay moves.
      Trace trace;
      std::string why;
      if (!LoadTraceFile(options.replay, &trace, &why))
        return fail(SourceFailure::ReplayTrace, why);
      auto clock = std::make_unique<VirtualClock>();
      s.replay_ = std::make_unique<ReplayD2xx>(std::move(trace), *clock);
      s.clock_ = std::move(clock);
      s.d2xx_ = s.replay_.get();
      break;
    }
    case DeviceSourceOptions::Kind::Simulator: {
      sim::Profile profile;
      std::string why;
      if (!options.profile.empty() && !sim::LoadProfile(options.profile, &profile, &why))
        return fail(SourceFailure::Profile, why);
      // Virtual time would skip the waits a real device needs: tests only.
      if (options.virtualTime) {
        s.clock_ = std::make_unique<VirtualClock>();
      } else {
        s.clock_ = std::make_unique<RealClock>();
      }
      s.sim_ = std::make_unique<sim::SimulatedSetup>(*s.clock_, profile);
      if (!s.sim_->LoadState(&why))
        return fail(SourceFailure::StateFile, why);
      s.d2xx_ = &s.sim_->bus();
      break;
    }
    case DeviceSourceOptions::Kind::Hardware: {
      std::string why = "this program has no USB-serial driver";
      s.hardware_ = options.hardware ? options.hardware(&why) : nullptr;
      if (!s.hardware_)
        return fail(SourceFailure::NoDriver, why);
      s.clock_ = std::make_unique<RealClock>();
      s.d2xx_ = s.hardware_.get();
      break;
    }
  }

  if (options.trace) {
    // The file is opened by StartTrace, once everything the run reads is
    // loaded; the wrapper sees no driver call before then.
    std::ostream* out = options.traceStream;
    if (!options.trace->empty()) {
      s.traceFile_ = std::make_unique<OutputFile>();
      out = &s.traceFile_->Stream();
    }
    if (out != nullptr) {
      s.trace_ = std::make_unique<TraceD2xx>(*s.d2xx_, *s.clock_, *out);
      s.d2xx_ = s.trace_.get();
    }
  }
  return source;
}

std::vector<DeviceSource::KeptFile> DeviceSource::InputFiles() const {
  return {
      {"the simulator profile", options_.profile},
      {"the simulator's state file", sim_ ? sim_->StateFile() : ""},
      {"the trace being replayed", options_.replay},
  };
}

std::vector<DeviceSource::KeptFile> DeviceSource::RunFiles() const {
  std::vector<KeptFile> files = InputFiles();
  if (traceFile_)
    files.push_back({"the trace file", *options_.trace});
  return files;
}

bool DeviceSource::StartTrace(const std::vector<KeptFile>& kept, SourceError* error) {
  if (!traceFile_)
    return true;
  const std::string& path = *options_.trace;
  std::vector<KeptFile> others = kept;
  for (KeptFile& k : InputFiles())
    others.push_back(std::move(k));
  std::string sameAs;
  std::string reason;
  switch (traceFile_->Open(path, OutputFile::Mode::kReplace, others, &sameAs, &reason)) {
    case OutputFile::OpenResult::kOpened:
      return true;
    case OutputFile::OpenResult::kSameFile:
      *error = {SourceFailure::TraceFile,
                "--trace=" + path + " names " + sameAs +
                    ", which the trace would overwrite; choose another file"};
      return false;
    case OutputFile::OpenResult::kRefused:
      break;
  }
  *error = {SourceFailure::TraceFile, "can't write the trace file " + FileErrorText(path, reason)};
  return false;
}

bool DeviceSource::SeparateDeviceClocks() const {
  return sim_ && options_.virtualTime;
}

Clock& DeviceSource::DeviceClock(const std::string& serial) {
  if (!SeparateDeviceClocks())
    return *clock_;
  auto own = std::make_unique<VirtualClock>(clock_->Now());
  sim::SimulatedBus& bus = sim_->bus();
  for (size_t i = 0; i < bus.ChipCount(); ++i) {
    if (bus.Chip(i).Info().serial == serial)
      bus.Chip(i).UseClock(own.get());
  }
  deviceClocks_.push_back(std::move(own));
  return *deviceClocks_.back();
}

std::vector<SourceError> DeviceSource::Finish(bool runOk) {
  std::vector<SourceError> failures;
  if (replay_ && (runOk || replay_->CallsReplayed() > 0 || replay_->Diverged())) {
    const std::string& report = replay_->Finish();
    if (!report.empty()) {
      failures.push_back({SourceFailure::ReplayDiverged, report});
    }
  }
  // The simulated device lasts across runs through its state file: saved on
  // every way out of a run, an interrupted one included.
  if (sim_) {
    std::string why;
    if (!sim_->SaveState(&why))
      failures.push_back({SourceFailure::StateSave, why});
  }
  // A trace cut short by a full disk reads like one cut by Ctrl-C: say so.
  if (traceFile_ && traceFile_->IsOpen() && !traceFile_->Close()) {
    failures.push_back({SourceFailure::TraceWrite,
                        FileErrorText(*options_.trace,
                                      traceFile_->FailureReason() + "; the trace is incomplete")});
  }
  return failures;
}

}  // namespace vexo3
