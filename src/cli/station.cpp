#include "cli/station.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/interrupt.h"
#include "cli/multi_update.h"
#include "cli/station.h"
#include "platform/clock.h"
#include "platform/file_open.h"
#include "run/device_source.h"

namespace vexo3::cli {
namespace {

using nlohmann::json;

// The --log file: one JSON line per device, each on the disk before the
// next is written, so that a station that loses power keeps every line.
class StationLog {
 public:
  ~StationLog() {
    if (file_ != nullptr)
      std::fclose(file_);
  }
  bool Open(const std::string& path, std::string* why) {
#ifdef _WIN32
    file_ = _wfopen(PathFromUtf8(path).c_str(), L"ab");
#else
    file_ = std::fopen(path.c_str(), "ab");
#endif
    if (file_ == nullptr)
      *why = std::strerror(errno);
    return file_ != nullptr;
  }
  bool Append(const std::string& line) {
    if (file_ == nullptr)
      return true;
    if (std::fputs((line + "\n").c_str(), file_) < 0 || std::fflush(file_) != 0)
      return false;
#ifdef _WIN32
    return _commit(_fileno(file_)) == 0;
#else
    return fsync(fileno(file_)) == 0;
#endif
  }

 private:
  std::FILE* file_ = nullptr;
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

}  // namespace

int StationCommand(const Options& o, const CliStreams& io, DeviceSource& source) {
  FirmwarePackage package;
  if (auto code = LoadUpdatePackage(o, io, package))
    return *code;
  LineOutput output(io);
  StationLog log;
  if (o.log) {
    std::string why;
    if (!log.Open(*o.log, &why)) {
      output.Err("vexo3: can't open the log file \"" + *o.log + "\": " + why + "\n");
      return kExitDeviceFailure;
    }
  }
  if (!o.json) {
    output.Out("Waiting for HandControllers" +
               (o.count ? " (" + std::to_string(*o.count) + ")" : std::string()) +
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
            output.Err("vexo3: can't write the log file \"" + o.log.value_or("") +
                       "\": " + std::strerror(errno) + "\n");
          }
        }
        it = running.erase(it);
      }
    }
    const bool done = o.count && finished >= *o.count;
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
        if (o.count && started >= *o.count)
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

}  // namespace vexo3::cli
