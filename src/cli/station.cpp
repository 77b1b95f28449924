#include "cli/station.h"

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/interrupt.h"
#include "cli/multi_update.h"
#include "cli/output.h"
#include "cli/station.h"
#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/output_file.h"
#include "run/device_source.h"
#include "ui/core/update_engine.h"

namespace vexo3::cli {
namespace {

using nlohmann::json;

// The --log file: one JSON line per device, each on the disk before the
// next is written, so that a station that loses power keeps every line.
class StationLog {
 public:
  // Never waits (a FIFO nobody reads is refused); refused too when it is one
  // of `others`, the files the run reads, by identity.
  bool Open(const std::string& path, const std::vector<NamedFile>& others, std::string* why) {
    std::string sameAs;
    switch (file_.Open(path, OutputFile::Mode::kAppend, others, &sameAs, why)) {
      case OutputFile::OpenResult::kOpened:
        return true;
      case OutputFile::OpenResult::kSameFile:
        *why = "it is " + sameAs + ", which the log would write into; choose another file";
        return false;
      case OutputFile::OpenResult::kRefused:
        break;
    }
    return false;
  }
  // A device or a FIFO (/dev/null, a terminal) has nothing to sync: no failure.
  bool Append(const std::string& line) {
    if (!file_.IsOpen())
      return true;
    return file_.Write(line + "\n") && file_.Sync();
  }
  const std::string& FailureReason() const { return file_.FailureReason(); }

 private:
  OutputFile file_;
};

// One device being updated on its own thread.
struct Running {
  std::string serial;
  std::thread thread;
  DeviceResult result;
  bool finished = false;
};

// The station's state between two listings.
class Station {
 public:
  Station(const Options& o, LineOutput& output, DeviceSource& source,
          const FirmwarePackage& package, StationLog& log)
      : o_(o), output_(output), source_(source), package_(package), log_(log) {}

  // Joins the devices that have finished: their results and log lines.
  void Reap();
  // Starts an update for each HandController that has just arrived.
  void Arrivals(const std::vector<ChipEntry>& chips);
  // Waits for the next listing. On virtual time the station's clock moves
  // only while no device runs, and a device's end brings it to that
  // device's time, so a plug timeline plays the same on every run.
  void Wait();

  bool Done() const { return o_.count && finished_ >= *o_.count; }
  bool Idle() const { return running_.empty(); }
  int ExitStatus() const { return failed_ == 0 && !logFailed_ ? kExitOk : kExitDeviceFailure; }
  // "Station: 3 updated, 1 failed, 2 left alone." (a JSON line with --json).
  std::string Totals() const;

 private:
  void Start(const ChipEntry& chip);
  // A chip the station doesn't update, said as a device's result is.
  // `chipCount` chips, under one name, are counted as left alone.
  void LeaveAlone(const ChipEntry& chip, const std::string& why, uint32_t chipCount = 1);

  const Options& o_;
  LineOutput& output_;
  DeviceSource& source_;
  const FirmwarePackage& package_;
  StationLog& log_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Running> running_;
  // The chips seen on the bus since they were plugged in: each is updated
  // (or reported) once until it is gone from the list.
  std::set<std::string> seen_;
  size_t unnamedSeen_ = 0;  // chips without a serial number in the last listing
  uint32_t started_ = 0;
  uint32_t finished_ = 0;
  // Updated counts a device that already held the package's version too.
  uint32_t updated_ = 0;
  uint32_t failed_ = 0;
  uint32_t leftAlone_ = 0;
  bool logFailed_ = false;
};

void Station::Reap() {
  std::unique_lock lock(mutex_);
  for (auto it = running_.begin(); it != running_.end();) {
    if (!it->finished) {
      ++it;
      continue;
    }
    it->thread.join();
    const DeviceResult& r = it->result;
    if (r.leftAlone) {
      --started_;
      ++leftAlone_;
    } else {
      ++finished_;
      ++(r.ok ? updated_ : failed_);
      json line = json::parse(ResultJson(r));
      line.erase("event");
      line["time"] = UtcTimeText(std::time(nullptr));
      if (!log_.Append(line.dump(-1, ' ', false, json::error_handler_t::replace)) && !logFailed_) {
        logFailed_ = true;
        output_.Err(
            "vexo3: " +
            FileErrorText(o_.log.value_or(""), "can't write the log: " + log_.FailureReason()) +
            "\n");
      }
    }
    it = running_.erase(it);
  }
}

void Station::Arrivals(const std::vector<ChipEntry>& chips) {
  std::set<std::string> present;
  // A chip without a serial number has no name that lasts: its place in
  // the list moves as others come and go. Such chips are counted instead,
  // and only one more than were there before is new.
  size_t unnamed = 0;
  for (const ChipEntry& chip : chips) {
    const std::string name = ChipName(chip);
    present.insert(name);
    if (chip.serial.empty() && ++unnamed <= unnamedSeen_)
      continue;
    if (!chip.serial.empty() && seen_.count(name) != 0)
      continue;
    if (chip.verdict(std::nullopt) != FtdiDevice::ChipVerdict::kOpens) {
      seen_.insert(name);
      LeaveAlone(chip, (chip.description.empty() ? "-" : chip.description) +
                           ": not a HandController that can be opened; left alone");
      continue;
    }
    // The update is held to its chip by the serial number (the chip is
    // opened again after each unit restarts): without one it could land
    // on another HandController. A chip unplugged while it was being
    // listed shows this too.
    if (chip.serial.empty()) {
      seen_.insert(name);
      LeaveAlone(chip,
                 "no serial number, so the station can't tell it from other chips; left alone");
      continue;
    }
    // Twins share the name: the first one seen speaks for all of them.
    if (chip.twin >= 0) {
      seen_.insert(name);
      std::vector<std::string> indices;
      for (const ChipEntry& c : chips) {
        if (c.serial == chip.serial && c.twin >= 0)
          indices.push_back(std::to_string(c.index));
      }
      LeaveAlone(chip,
                 "chips " + Join(indices) +
                     " share this serial number, so the station can't tell them apart; "
                     "all left alone",
                 static_cast<uint32_t>(indices.size()));
      continue;
    }
    // Enough devices under way: this one waits for a free place (one
    // that is left alone gives its place back). After a signal nothing
    // new begins.
    if ((o_.count && started_ >= *o_.count) || PendingSignal() != 0)
      continue;
    seen_.insert(name);
    ++started_;
    Start(chip);
  }
  // A chip gone from the list may come back: it is new then. One still
  // being updated stays seen until its thread ends.
  std::lock_guard lock(mutex_);
  for (auto it = seen_.begin(); it != seen_.end();) {
    bool busy = false;
    for (const Running& r : running_)
      busy = busy || r.serial == *it;
    it = present.count(*it) == 0 && !busy ? seen_.erase(it) : std::next(it);
  }
  unnamedSeen_ = unnamed;
}

void Station::LeaveAlone(const ChipEntry& chip, const std::string& why, uint32_t chipCount) {
  leftAlone_ += chipCount;
  if (o_.json) {
    DeviceResult r;
    r.serial = chip.serial;
    r.leftAlone = true;
    r.text = why;
    output_.Json(ResultJson(r) + "\n");
  } else {
    output_.Out(ChipName(chip) + ": " + why + "\n");
  }
}

std::string Station::Totals() const {
  if (o_.json) {
    return json{{"event", "totals"},
                {"updated", updated_},
                {"failed", failed_},
                {"left_alone", leftAlone_}}
               .dump() +
           "\n";
  }
  return "Station: " + std::to_string(updated_) + " updated, " + std::to_string(failed_) +
         " failed, " + std::to_string(leftAlone_) + " left alone.\n";
}

void Station::Start(const ChipEntry& chip) {
  Clock& deviceClock = source_.DeviceClock(chip.serial);
  std::lock_guard lock(mutex_);
  Running& r = running_.emplace_back();
  r.serial = chip.serial;
  r.thread = std::thread([this, rp = &r, dc = &deviceClock, serial = chip.serial] {
    DeviceResult result = UpdateArrivedDevice(o_, output_, source_.d2xx(), *dc, serial, package_);
    if (result.leftAlone && o_.json)
      output_.Json(ResultJson(result) + "\n");
    else if (result.leftAlone)
      output_.Out(serial + ": " + result.text + "\n");
    std::lock_guard inner(mutex_);
    rp->result = std::move(result);
    rp->finished = true;
    changed_.notify_all();
  });
}

void Station::Wait() {
  Clock& clock = source_.clock();
  std::unique_lock lock(mutex_);
  if (!source_.SeparateDeviceClocks() || running_.empty()) {
    lock.unlock();
    clock.Sleep(kStationPollMs);
    return;
  }
  changed_.wait(lock, [&] {
    for (const Running& r : running_) {
      if (r.finished)
        return true;
    }
    return false;
  });
  for (const Running& r : running_) {
    if (r.finished) {
      const Clock::Duration end{r.result.endUs};
      if (end > clock.Now())
        clock.SleepFor(end - clock.Now());
    }
  }
}

}  // namespace

int StationCommand(const Options& o, const CliStreams& io, DeviceSource& source) {
  FirmwarePackage package;
  if (auto code = LoadUpdatePackage(o, io, package))
    return *code;
  LineOutput output(io);
  StationLog log;
  if (o.log) {
    std::string why;
    std::vector<NamedFile> others = source.RunFiles();
    others.push_back({"the firmware package", o.file});
    if (!log.Open(*o.log, others, &why)) {
      output.Err("vexo3: can't open the log file " + FileErrorText(*o.log, why) + "\n");
      return kExitUsage;
    }
  }
  if (!o.json) {
    output.Out("Waiting for HandControllers" +
               (o.count ? " (" + std::to_string(*o.count) + ")" : std::string()) +
               "; Ctrl-C ends the station.\n");
  }

  // From here a signal lets the units being written finish and ends the
  // station after them; while none is being written, it ends the station
  // as --count does.
  SeveralUnitsIdle();
  bool idle = true;
  Station station(o, output, source, package, log);
  for (;;) {
    station.Reap();
    const bool done = station.Done();
    if ((done || PendingSignal() != 0) && station.Idle())
      break;
    std::vector<ChipEntry> chips;
    std::string error;
    if (!done && PendingSignal() == 0 && ListChips(source.d2xx(), &chips, &error))
      station.Arrivals(chips);
    if (station.Idle() != idle) {
      idle = station.Idle();
      if (idle)
        SeveralUnitsIdle();
      else
        BeginSeveralUnits();
    }
    station.Wait();
  }
  EndUnit();
  output.Out(station.Totals());
  if (SignalCameWhileIdle())
    ForgetPendingSignal();
  if (const int sig = PendingSignal(); sig != 0)
    return 128 + sig;
  return station.ExitStatus();
}

}  // namespace vexo3::cli
