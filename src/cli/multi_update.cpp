#include "cli/multi_update.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <utility>

#include "cli/device_list.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/terminal_window.h"
#include "cli/unit_versions.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "protocol/device_session.h"
#include "run/device_source.h"
#include "ui/core/sivra_actions.h"

namespace vexo3::cli {
namespace {

using nlohmann::json;

std::string Field(const char* text, size_t size) {
  std::string s(text, strnlen(text, size));
  while (!s.empty() && s.back() == ' ')
    s.pop_back();
  return s;
}

// One device of the run, from its questions to its result.
struct DeviceJob {
  std::string serial;
  Clock* clock = nullptr;
  std::unique_ptr<DeviceSession> session;
  DeviceReportRecords before;
  bool haveBefore = false;
  bool pcbYes = false;    // the answer to its PCB warning, asked beforehand
  bool declined = false;  // the downgrade was declined: nothing to do
  std::string failure;    // the first error box, "caption: text"
  uint64_t bytes = 0;
  DeviceResult result;
};

// The window of one device's update: its lines go out prefixed with its
// serial, its one question was answered beforehand, its errors are kept for
// the result.
class DeviceWindow final : public MainWindow {
 public:
  DeviceWindow(DeviceJob& job, LineOutput& output, const MultiUpdateOptions& options,
               bool errIsTerminal)
      : job_(job), output_(output), options_(options), errIsTerminal_(errIsTerminal) {}

  MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text,
                               MessageIcon /*icon*/, MessageButtons buttons) override {
    if (buttons == MessageButtons::YesNo)
      return job_.pcbYes ? MessageAnswer::Yes : MessageAnswer::No;
    std::string line = caption + ": " + TerminalText(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    if (job_.failure.empty())
      job_.failure = line;
    // A live board on the same terminal would be torn by it; the row's
    // result and the table carry the text.
    if (!options_.json && !(output_.Live() && errIsTerminal_))
      output_.Err(job_.serial + ": " + line + "\n");
    return MessageAnswer::Ok;
  }
  void SetStatusText(const std::string& text) override {
    statusUs_ = job_.clock->Now().count();
    if (holdStatus_) {
      holdStatus_ = false;  // an interrupted update is not "DONE ok"
      return;
    }
    if (!options_.json)
      output_.Device(job_.serial, text);
  }
  void SetControlEnabled(DialogControl, bool) override {}
  bool IsChecked(DialogCheckBox box) override {
    // After a signal nothing more is written on any device.
    if (PendingSignal() != 0)
      return false;
    return box == DialogCheckBox::HandController ? !options_.noHc : !options_.noCamera;
  }
  std::string FirmwareFileText() override { return ""; }
  void SetFirmwareFileText(const std::string&) override {}
  std::optional<std::string> ChooseFirmwareFile() override { return std::nullopt; }
  void SetSummaryText(const std::string&) override {}
  void ShowDeviceReport(const std::string&, const DeviceReportRecords&) override {}
  void Redraw() override {}
  bool UploadStopRequested() override { return StopRequested(); }
  void OnPhase(const PhaseChange& change) override {
    holdStatus_ = change.phase == ActionPhase::Done && PendingSignal() != 0;
  }

  void OnUploadProgress(std::string_view imageName, uint64_t bytesDone,
                        uint64_t bytesTotal) override {
    const int64_t nowUs = job_.clock->Now().count();
    if (imageName != unit_) {
      unit_ = std::string(imageName);
      startUs_ = statusUs_;
      lastJsonUs_ = -1;
      lastDecile_ = -1;
      lastPercent_ = -1;
      unitBase_ = job_.bytes;
    }
    job_.bytes = unitBase_ + bytesDone;
    const bool done = bytesDone >= bytesTotal;
    const double seconds = static_cast<double>(nowUs - startUs_) / 1e6;
    if (options_.json) {
      // At most once a second per unit, and its end.
      if (!done && lastJsonUs_ >= 0 && nowUs - lastJsonUs_ < 1000000)
        return;
      lastJsonUs_ = nowUs;
      json j{{"event", "progress"}, {"serial", job_.serial}, {"unit", unit_},
             {"bytes", bytesDone},  {"total", bytesTotal},   {"seconds", seconds}};
      output_.Out(j.dump() + "\n");
      return;
    }
    const double rate = seconds > 0 ? static_cast<double>(bytesDone) / seconds : 0;
    if (output_.Live()) {
      // Redrawn when the percentage moves, not on every chunk.
      const int percent = bytesTotal == 0 ? 100 : static_cast<int>(bytesDone * 100 / bytesTotal);
      if (percent == lastPercent_ && !done)
        return;
      lastPercent_ = percent;
      const size_t width = output_.RowWidth();
      const size_t room = width > job_.serial.size() + 2 ? width - job_.serial.size() - 2 : 0;
      std::string row = FormatProgress(imageName, bytesDone, bytesTotal, seconds, rate, true, room);
      row.erase(0, row.find_first_not_of(' '));
      output_.Device(job_.serial, row);
      return;
    }
    const int decile = bytesTotal == 0
                           ? 10
                           : static_cast<int>(std::min<uint64_t>(bytesDone * 10 / bytesTotal, 10));
    if ((decile == lastDecile_ && !done) || (done && lastDecile_ == 10))
      return;
    lastDecile_ = done ? 10 : decile;
    output_.Device(job_.serial,
                   FormatProgress(imageName, bytesDone, bytesTotal, seconds, rate, false));
  }

 private:
  DeviceJob& job_;
  LineOutput& output_;
  const MultiUpdateOptions& options_;
  const bool errIsTerminal_;
  std::string unit_;
  int64_t statusUs_ = 0;
  int64_t startUs_ = 0;
  int64_t lastJsonUs_ = -1;
  int lastDecile_ = -1;
  int lastPercent_ = -1;
  uint64_t unitBase_ = 0;
  bool holdStatus_ = false;
};

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names)
    out += (out.empty() ? "" : ", ") + n;
  return out;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

// The result's fields known before the update: ids and old versions.
void FillBefore(DeviceJob& job, const MultiUpdateOptions& o, const FirmwarePackage& package) {
  DeviceResult& r = job.result;
  r.serial = job.serial;
  if (job.haveBefore) {
    r.hcUniqueId = Field(job.before.hc.uniqueId, sizeof job.before.hc.uniqueId);
    if (job.before.cameraAccessed)
      r.cameraUniqueId = Field(job.before.camera.uniqueId, sizeof job.before.camera.uniqueId);
  }
  for (const auto& [unit, image] : UnitsAsked(o.noHc, o.noCamera, package)) {
    const std::optional<Version> held = job.haveBefore ? Held(job.before, unit) : std::nullopt;
    r.versions.push_back({std::string(unit), held ? held->Text() : "-", "-"});
  }
}

// The downgrade and PCB questions of one device, before any upload.
void AskQuestions(DeviceJob& job, const MultiUpdateOptions& o, const FirmwarePackage& package,
                  TerminalWindow& questions) {
  job.pcbYes = o.yes;
  if (!job.haveBefore)
    return;
  std::string text = DowngradeText(o.noHc, o.noCamera, package, job.before);
  if (!text.empty()) {
    text += "Write it anyway?";
    if (questions.ShowMessageBox(job.serial + ": WARNING", text, MessageIcon::Warning,
                                 MessageButtons::YesNo) != MessageAnswer::Yes) {
      job.declined = true;
      return;
    }
  }
  const unsigned pcb = job.before.hc.hardwareId;
  const unsigned supported = package.hcImage.supportedPcb();
  if (job.before.hc.bootMode != 0 && pcb < supported) {
    char warning[256];
    std::snprintf(warning, sizeof warning,
                  "PCB version (0x%x) is reported to be newer (lower value) than the Firmware "
                  "supports (0x%x).\nAre you sure to upload this into the device?",
                  pcb, supported);
    job.pcbYes = questions.ShowMessageBox(job.serial + ": WARNING", warning, MessageIcon::Warning,
                                          MessageButtons::YesNo) == MessageAnswer::Yes;
  }
}

// One device's update, on its own thread.
void RunJob(DeviceJob& job, const MultiUpdateOptions& o, FirmwarePackage& package,
            LineOutput& output, bool errIsTerminal) {
  DeviceResult& r = job.result;
  const int64_t startUs = job.clock->Now().count();
  if (o.json) {
    json units = json::array();
    for (const auto& [unit, image] : UnitsAsked(o.noHc, o.noCamera, package))
      units.push_back(std::string(unit));
    output.Out(json{{"event", "start"}, {"serial", job.serial}, {"units", units}}.dump() + "\n");
  }
  DeviceWindow window(job, output, o, errIsTerminal);
  SivraActions actions(*job.session, package, window);
  const ActionOutcome outcome = actions.UpdateFirmware();
  const int sig = PendingSignal();
  r.written.assign(outcome.unitsWritten.begin(), outcome.unitsWritten.end());
  if (!outcome.Succeeded() && (sig != 0 || outcome.failedUnitBytes > 0))
    r.stopped = outcome.end.unit;
  for (const auto& [unit, image] : UnitsAsked(o.noHc, o.noCamera, package)) {
    const std::string name(unit);
    if (name != r.stopped && std::find(r.written.begin(), r.written.end(), name) == r.written.end())
      r.skipped.push_back(name);
  }
  r.code = outcome.end.code;
  r.bytes = job.bytes;

  DeviceReportRecords after;
  bool haveAfter = false;
  if (outcome.Succeeded() && job.haveBefore && !r.written.empty()) {
    const ResultCode q = QueryDevice(*job.session, &after);
    haveAfter = q == 0;
    if (!haveAfter) {
      r.code = q;
      job.failure =
          "can't read the units again after the update: " + TerminalText(DeviceErrorText(q));
    }
  }
  job.session.reset();  // closes the link

  for (DeviceResult::UnitVersions& v : r.versions) {
    if (std::find(r.written.begin(), r.written.end(), v.unit) == r.written.end() || !haveAfter)
      continue;
    const std::optional<Version> now = Held(after, v.unit);
    v.after = now ? now->Text() : "none";
  }
  bool same = true;
  for (const auto& [unit, image] : UnitsAsked(o.noHc, o.noCamera, package)) {
    if (!haveAfter || std::find(r.written.begin(), r.written.end(), unit) == r.written.end())
      continue;
    const std::optional<Version> now = Held(after, unit);
    same = same && now && *now == InPackage(*image);
  }

  if (sig != 0) {
    r.text = std::string("interrupted (") + SignalName(sig) + ")";
  } else if (!outcome.Succeeded()) {
    r.text = job.failure.empty() ? "update failed" : job.failure;
    if (outcome.end.refusal == UpdateRefusal::PcbDeclined)
      r.text = "PCB warning answered no: nothing written";
  } else if (!job.failure.empty()) {
    r.text = job.failure;
  } else if (!same) {
    r.text = "a unit doesn't report the package's firmware after the update";
  } else {
    r.ok = true;
    r.text = "ok";
  }
  if (sig != 0 || !r.ok) {
    if (!r.written.empty())
      r.text += "; written: " + Join(r.written);
    if (!r.stopped.empty())
      r.text += "; " + r.stopped + " left with an incomplete image";
    if (!r.skipped.empty())
      r.text += "; not updated: " + Join(r.skipped);
  }
  r.endUs = job.clock->Now().count();
  r.seconds = static_cast<double>(r.endUs - startUs) / 1e6;
  if (o.json)
    output.Out(ResultJson(r) + "\n");
  else
    output.Device(job.serial, r.text);
}

// Columns count characters, not bytes: the arrow is three bytes of UTF-8.
size_t Chars(const std::string& s) {
  size_t chars = 0;
  for (unsigned char c : s)
    chars += (c & 0xC0) != 0x80;
  return chars;
}

// The first `width` characters of s.
std::string Cut(const std::string& s, size_t width) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == width)
      return s.substr(0, i);
  }
  return s;
}

std::string Pad(std::string s, size_t width) {
  const size_t chars = Chars(s);
  if (chars < width)
    s.append(width - chars, ' ');
  return s;
}

}  // namespace

void LineOutput::Out(const std::string& text) {
  const std::lock_guard lock(mutex_);
  WriteOut(text);
}

void LineOutput::WriteOut(const std::string& text) {
  std::fputs(text.c_str(), io_.out);
  if ((std::fflush(io_.out) != 0 || std::ferror(io_.out)) && io_.outError != nullptr &&
      *io_.outError == 0) {
    *io_.outError = errno != 0 ? errno : EIO;
  }
}

void LineOutput::Err(const std::string& text) {
  const std::lock_guard lock(mutex_);
  std::fputs(text.c_str(), io_.err);
  std::fflush(io_.err);
}

void LineOutput::Device(const std::string& serial, const std::string& text) {
  if (!live_) {
    Out(serial + ": " + text + "\n");
    return;
  }
  const std::lock_guard lock(mutex_);
  const auto it = std::find(serials_.begin(), serials_.end(), serial);
  if (it == serials_.end())
    return;
  // The row shows one line; the whole text is in the table.
  std::string row = text.substr(0, text.find('\n'));
  rows_[static_cast<size_t>(it - serials_.begin())] = std::move(row);
  DrawBoard();
}

void LineOutput::StartBoard(const std::vector<std::string>& serials) {
  if (!io_.outIsTerminal || serials.empty())
    return;
  const std::lock_guard lock(mutex_);
  live_ = true;
  drawn_ = false;
  serials_ = serials;
  rows_.assign(serials.size(), "waiting");
  DrawBoard();
}

void LineOutput::EndBoard() {
  const std::lock_guard lock(mutex_);
  live_ = false;
}

size_t LineOutput::RowWidth() const {
  // One column stays free: a line that fills the last one wraps on some
  // terminals. An unknown width is taken as 80 columns.
  const int columns = TerminalColumns(io_.out);
  return columns > 1 ? static_cast<size_t>(columns - 1) : 79;
}

void LineOutput::DrawBoard() {
  const size_t width = RowWidth();
  std::string text;
  // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + string&&.
  if (drawn_) {
    text = "\033[";
    text += std::to_string(rows_.size());
    text += 'A';
  }
  for (size_t i = 0; i < rows_.size(); ++i) {
    text += '\r';
    text += Cut(serials_[i] + "  " + rows_[i], width);
    text += "\033[K\n";
  }
  drawn_ = true;
  WriteOut(text);
}

DeviceResult UpdateArrivedDevice(const MultiUpdateOptions& o, LineOutput& output, D2xxApi& d2xx,
                                 Clock& clock, const std::string& serial,
                                 FirmwarePackage& package) {
  DeviceJob job;
  job.serial = serial;
  job.clock = &clock;
  const int64_t startUs = clock.Now().count();
  job.session = std::make_unique<DeviceSession>(d2xx, clock);
  if (job.session->link)
    job.session->link->SetSerialFilter(serial);
  const ResultCode q = QueryDevice(*job.session, &job.before);
  job.haveBefore = q == 0;
  DeviceResult& r = job.result;
  FillBefore(job, o, package);
  auto leaveAlone = [&](std::string why) {
    job.session.reset();
    r.leftAlone = true;
    r.code = q;
    r.text = std::move(why);
    r.endUs = clock.Now().count();
    r.seconds = static_cast<double>(r.endUs - startUs) / 1e6;
    return r;
  };
  if (!job.haveBefore)
    return leaveAlone("can't read the device: " + TerminalText(DeviceErrorText(q)));
  if (job.before.hc.bootMode == 0)
    return leaveAlone("in application mode, not BOOT mode: left alone");
  job.pcbYes = o.yes;
  if (!o.yes && job.before.hc.hardwareId < package.hcImage.supportedPcb())
    return leaveAlone("its board (PCB 0x" + Hex(job.before.hc.hardwareId) +
                      ") is newer than the package supports: left alone (--yes writes it)");
  if (!o.yes && !DowngradeText(o.noHc, o.noCamera, package, job.before).empty())
    return leaveAlone(
        "the package's firmware is not newer than the device's: left alone (--yes "
        "writes it)");
  RunJob(job, o, package, output, false);
  return job.result;
}

std::string ResultJson(const DeviceResult& r) {
  json versions = json::object();
  for (const DeviceResult::UnitVersions& v : r.versions)
    versions[v.unit] = {{"old", v.before}, {"new", v.after}};
  json j{{"event", "result"},
         {"serial", r.serial},
         {"hc_unique_id", r.hcUniqueId},
         {"camera_unique_id", r.cameraUniqueId},
         {"versions", versions},
         {"ok", r.ok},
         {"code", r.code},
         {"text", r.text},
         {"written", r.written},
         {"stopped", r.stopped},
         {"skipped", r.skipped},
         {"bytes", r.bytes},
         {"seconds", r.seconds}};
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string ResultTable(const std::vector<DeviceResult>& results) {
  std::vector<std::string> head = {"serial", "unique ids"};
  std::vector<std::string> units;
  for (const DeviceResult& r : results) {
    for (const DeviceResult::UnitVersions& v : r.versions) {
      if (std::find(units.begin(), units.end(), v.unit) == units.end())
        units.push_back(v.unit);
    }
  }
  head.insert(head.end(), units.begin(), units.end());
  head.push_back("result");
  head.push_back("time");
  std::vector<std::vector<std::string>> rows = {head};
  for (const DeviceResult& r : results) {
    std::vector<std::string> row = {r.serial};
    std::string ids = r.hcUniqueId.empty() ? "-" : r.hcUniqueId;
    if (!r.cameraUniqueId.empty())
      ids += " " + r.cameraUniqueId;
    row.push_back(ids);
    for (const std::string& unit : units) {
      std::string cell = "-";
      for (const DeviceResult::UnitVersions& v : r.versions) {
        if (v.unit == unit)
          cell = v.before + " \u2192 " + v.after;
      }
      row.push_back(cell);
    }
    row.push_back(r.text);
    row.push_back(FormatDuration(r.seconds));
    rows.push_back(row);
  }
  std::vector<size_t> widths(head.size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], Chars(row[i]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i)
      line += i + 1 == row.size() ? row[i] : Pad(row[i], widths[i]) + "  ";
    out += line + "\n";
  }
  return out;
}

int RunMultiUpdate(const MultiUpdateOptions& o, const CliStreams& io, DeviceSource& source,
                   FirmwarePackage& package) {
  LineOutput output(io);
  std::vector<ChipEntry> chips;
  std::string error;
  if (!ListChips(source.d2xx(), &chips, &error)) {
    output.Err("vexo3: " + error + "\n");
    return kExitDeviceFailure;
  }

  // The devices: every HandController, or one per serial asked for. Nothing
  // is touched unless every one of them can be told apart.
  std::vector<std::string> serials;
  if (o.all) {
    const std::vector<ChipEntry> matches = ChooseHandController(chips, std::nullopt).matches;
    for (const ChipEntry& c : matches) {
      // Each update is held to its chip by the serial number.
      if (c.serial.empty() && matches.size() > 1) {
        output.Err(
            "vexo3: a HandController has no serial number; among several it can't be told "
            "apart:\n" +
            FormatChipTable(chips, std::nullopt));
        return kExitUsage;
      }
      if (std::find(serials.begin(), serials.end(), c.serial) != serials.end()) {
        output.Err("vexo3: several HandControllers have the serial number \"" + c.serial +
                   "\"; they can't be told apart:\n" + FormatChipTable(chips, std::nullopt));
        return kExitUsage;
      }
      serials.push_back(c.serial);
    }
    if (serials.empty()) {
      output.Err(std::string("vexo3: no Vexo-3 HandController found (USB id 0403:6015, "
                             "description \"") +
                 kHandControllerDescription + "\").\n");
      return kExitNoDevice;
    }
  } else {
    for (const std::string& s : o.serials) {
      if (std::find(serials.begin(), serials.end(), s) != serials.end())
        continue;
      const Choice choice = ChooseHandController(chips, s);
      switch (choice.kind) {
        case Choice::Kind::One:
          serials.push_back(s);
          break;
        case Choice::Kind::Several:
          output.Err("vexo3: several HandControllers have the serial number \"" + s + "\":\n" +
                     FormatChipTable(choice.matches, s));
          return kExitUsage;
        case Choice::Kind::InUseElsewhere:
          output.Err("vexo3: no HandController with the serial number \"" + s +
                     "\" can be opened.\n" + InUseElsewhereText());
          return kExitDeviceFailure;
        case Choice::Kind::None:
        case Choice::Kind::NoSuchSerial:
          output.Err("vexo3: no HandController with the serial number \"" + s + "\" found.\n");
          return kExitNoDevice;
      }
    }
  }

  // Each device's state, and every question, before the first upload.
  TerminalOptions t;
  t.out = io.out;
  t.err = io.err;
  t.in = io.in;
  t.inIsTerminal = io.inIsTerminal;
  t.errIsTerminal = io.errIsTerminal;
  t.assumeYes = o.yes;
  TerminalWindow questions(t, source.clock());
  std::vector<std::unique_ptr<DeviceJob>> jobs;
  for (const std::string& serial : serials) {
    auto job = std::make_unique<DeviceJob>();
    job->serial = serial;
    job->clock = &source.DeviceClock(serial);
    job->session = std::make_unique<DeviceSession>(source.d2xx(), *job->clock);
    if (job->session->link)
      job->session->link->SetSerialFilter(serial);
    jobs.push_back(std::move(job));
  }
  // The readings side by side, each on its device's thread of the moment;
  // then the questions one device after another.
  if (!o.noVerify) {
    std::vector<std::thread> readers;
    for (auto& job : jobs) {
      readers.emplace_back([j = job.get()] {
        j->haveBefore = QueryDevice(*j->session, &j->before) == 0;
        if (!j->haveBefore)
          j->session->CloseSession();
      });
    }
    for (std::thread& th : readers)
      th.join();
  }
  for (auto& job : jobs) {
    DeviceResult& r = job->result;
    FillBefore(*job, o, package);
    AskQuestions(*job, o, package, questions);
    if (job->declined) {
      job->session.reset();
      r.text = "downgrade declined: nothing written";
      r.skipped.clear();
      for (const auto& v : r.versions)
        r.skipped.push_back(v.unit);
    }
  }

  // From here a signal lets every unit being written finish.
  BeginSeveralUnits();
  if (!o.json) {
    std::vector<std::string> rows;
    for (const auto& job : jobs)
      rows.push_back(job->serial);
    output.StartBoard(rows);
    for (const auto& job : jobs) {
      if (job->declined && output.Live())
        output.Device(job->serial, job->result.text);
    }
  }
  std::vector<std::thread> threads;
  for (auto& job : jobs) {
    if (!job->declined)
      threads.emplace_back([&o, &package, &output, &io, j = job.get()] {
        RunJob(*j, o, package, output, io.errIsTerminal);
      });
  }
  for (std::thread& th : threads)
    th.join();
  EndUnit();
  output.EndBoard();

  std::vector<DeviceResult> results;
  bool allOk = true;
  for (const auto& job : jobs) {
    results.push_back(job->result);
    allOk = allOk && job->result.ok;
  }
  if (!o.json)
    output.Out("\n" + ResultTable(results));
  if (const int sig = PendingSignal(); sig != 0)
    return 128 + sig;
  return allOk ? kExitOk : kExitDeviceFailure;
}

}  // namespace vexo3::cli
