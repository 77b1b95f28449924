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

#include "cli/device_list.h"
#include "cli/interrupt.h"
#include "platform/clock.h"
#include "platform/file_access.h"
#include "platform/output_file.h"
#include "run/device_source.h"

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

// UTC, "2026-12-07T17:30:00Z".
std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &now);
#else
  gmtime_r(&now, &tm);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// One device being updated on its own thread.
struct Running {
  std::string serial;
  std::thread thread;
  DeviceResult result;
  bool finished = false;
};

// A chip's name in the lines: its serial, or its place in the list.
std::string ChipName(const ChipEntry& chip) {
  return chip.serial.empty() ? "chip " + std::to_string(chip.index) : chip.serial;
}

}  // namespace

int RunStation(const StationOptions& options, const CliStreams& io, DeviceSource& source,
               FirmwarePackage& package) {
  LineOutput output(io);
  StationLog log;
  if (options.log) {
    std::string why;
    std::vector<NamedFile> others = source.RunFiles();
    others.push_back({"the firmware package", options.package});
    if (!log.Open(*options.log, others, &why)) {
      output.Err("vexo3: can't open the log file " + FileErrorText(*options.log, why) + "\n");
      return kExitDeviceFailure;
    }
  }
  const MultiUpdateOptions& o = options.update;
  if (!o.json) {
    output.Out("Waiting for HandControllers" +
               (options.count ? " (" + std::to_string(*options.count) + ")" : std::string()) +
               "; Ctrl-C ends the station.\n");
  }

  // From here a signal lets the units being written finish and ends the
  // station after them.
  BeginSeveralUnits();
  std::mutex mutex;
  std::condition_variable changed;
  std::list<Running> running;
  // The chips seen on the bus since they were plugged in: each is updated
  // (or reported) once until it is gone from the list.
  std::set<std::string> seen;
  uint32_t started = 0;
  uint32_t finished = 0;
  bool allOk = true;
  bool logFailed = false;
  Clock& clock = source.clock();
  const bool virtualTime = source.SeparateDeviceClocks();

  for (;;) {
    // Reap finished devices: their results and log lines.
    {
      std::unique_lock lock(mutex);
      for (auto it = running.begin(); it != running.end();) {
        if (!it->finished) {
          ++it;
          continue;
        }
        it->thread.join();
        const DeviceResult& r = it->result;
        if (r.leftAlone) {
          --started;
        } else {
          ++finished;
          allOk = allOk && r.ok;
          json line = json::parse(ResultJson(r));
          line.erase("event");
          line["time"] = UtcNow();
          if (!log.Append(line.dump(-1, ' ', false, json::error_handler_t::replace)) &&
              !logFailed) {
            logFailed = true;
            output.Err("vexo3: " +
                       FileErrorText(options.log.value_or(""),
                                     "can't write the log: " + log.FailureReason()) +
                       "\n");
          }
        }
        it = running.erase(it);
      }
    }
    const bool done = options.count && finished >= *options.count;
    if ((done || PendingSignal() != 0) && running.empty())
      break;

    std::vector<ChipEntry> chips;
    std::string error;
    if (!done && PendingSignal() == 0 && ListChips(source.d2xx(), &chips, &error)) {
      std::set<std::string> present;
      for (const ChipEntry& chip : chips) {
        const std::string name = ChipName(chip);
        present.insert(name);
        if (seen.count(name) != 0)
          continue;
        if (chip.verdict(std::nullopt) != FtdiDevice::ChipVerdict::kOpens) {
          seen.insert(name);
          output.Out(name + ": " + (chip.description.empty() ? "-" : chip.description) +
                     ": not a HandController that can be opened; left alone\n");
          continue;
        }
        // The update is held to its chip by the serial number (the chip is
        // opened again after each unit restarts): without one it could land
        // on another HandController. A chip unplugged while it was being
        // listed shows this too.
        if (chip.serial.empty()) {
          seen.insert(name);
          output.Out(name +
                     ": no serial number, so the station can't tell it from other chips; left "
                     "alone\n");
          continue;
        }
        // Enough devices under way: this one waits for a free place (one
        // that is left alone gives its place back).
        if (options.count && started >= *options.count)
          continue;
        seen.insert(name);
        ++started;
        Clock& deviceClock = source.DeviceClock(chip.serial);
        std::lock_guard lock(mutex);
        Running& r = running.emplace_back();
        r.serial = chip.serial;
        r.thread = std::thread([&, rp = &r, dc = &deviceClock, serial = chip.serial] {
          DeviceResult result = UpdateArrivedDevice(o, output, source.d2xx(), *dc, serial, package);
          if (result.leftAlone)
            output.Out(o.json ? ResultJson(result) + "\n" : serial + ": " + result.text + "\n");
          std::lock_guard inner(mutex);
          rp->result = std::move(result);
          rp->finished = true;
          changed.notify_all();
        });
      }
      // A chip gone from the list may come back: it is new then. One still
      // being updated stays seen until its thread ends.
      std::lock_guard lock(mutex);
      for (auto it = seen.begin(); it != seen.end();) {
        bool busy = false;
        for (const Running& r : running)
          busy = busy || r.serial == *it;
        it = present.count(*it) == 0 && !busy ? seen.erase(it) : std::next(it);
      }
    }

    // Wait for the next listing. On virtual time the station's clock moves
    // only while no device runs, and a device's end brings it to that
    // device's time, so a plug timeline plays the same on every run.
    std::unique_lock lock(mutex);
    if (virtualTime && !running.empty()) {
      changed.wait(lock, [&] {
        for (const Running& r : running) {
          if (r.finished)
            return true;
        }
        return false;
      });
      for (const Running& r : running) {
        if (r.finished) {
          const Clock::Duration end{r.result.endUs};
          if (end > clock.Now())
            clock.SleepFor(end - clock.Now());
        }
      }
    } else {
      lock.unlock();
      clock.Sleep(kStationPollMs);
    }
  }
  EndUnit();
  if (const int sig = PendingSignal(); sig != 0)
    return 128 + sig;
  return allOk && !logFailed ? kExitOk : kExitDeviceFailure;
}

int WatchDevices(const CliStreams& io, DeviceSource& source, bool json,
                 std::optional<uint32_t> polls) {
  LineOutput output(io);
  // Ctrl-C ends the watch as it ends any program.
  std::map<std::string, ChipEntry> known;
  bool first = true;
  for (uint32_t n = 0; !polls || n < *polls; ++n) {
    std::vector<ChipEntry> chips;
    std::string error;
    if (!ListChips(source.d2xx(), &chips, &error)) {
      output.Err("vexo3: " + error + "\n");
      return kExitDeviceFailure;
    }
    std::map<std::string, ChipEntry> now;
    for (const ChipEntry& c : chips)
      now.emplace(ChipName(c), c);
    auto say = [&](const char* event, const ChipEntry& c) {
      const bool hc = c.verdict(std::nullopt) == FtdiDevice::ChipVerdict::kOpens;
      if (json) {
        output.Out(nlohmann::json{{"event", event},
                                  {"serial", c.serial},
                                  {"description", c.description},
                                  {"hand_controller", hc}}
                       .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                   "\n");
      } else {
        output.Out(std::string(event) + "  " + ChipName(c) + "  " +
                   (c.description.empty() ? "-" : c.description) + "\n");
      }
    };
    for (const auto& [name, c] : now) {
      if (known.count(name) == 0)
        say(first ? "present" : "arrived", c);
    }
    for (const auto& [name, c] : known) {
      if (now.count(name) == 0)
        say("departed", c);
    }
    known = std::move(now);
    first = false;
    source.clock().Sleep(kStationPollMs);
  }
  return kExitOk;
}

}  // namespace vexo3::cli
