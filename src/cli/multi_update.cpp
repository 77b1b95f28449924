#include "cli/multi_update.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "cli/device_choice.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "cli/progress.h"
#include "cli/terminal_update.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "protocol/device_session.h"
#include "run/device_source.h"

namespace vexo3::cli {
namespace {

using nlohmann::json;

std::string Field(const char* text, size_t size) {
  std::string s(text, strnlen(text, size));
  while (!s.empty() && s.back() == ' ')
    s.pop_back();
  return s;
}

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

// One device's update as lines prefixed with its serial, its row on a live
// board, or JSON Lines; its first failure is kept for its result.
class DeviceRowView final : public UpdateView {
 public:
  // alone: the run's one device, whose boxes go to stderr as "update"
  // prints them, also with --json.
  DeviceRowView(const std::string& serial, Clock& clock, LineOutput& output, bool json, bool alone)
      : serial_(serial), clock_(clock), output_(output), json_(json), alone_(alone) {}

  void OnStage(UpdateStage /*stage*/, const std::string& status) override {
    meter_.Begin(clock_.Now().count());
    lastJsonUs_ = -1;
    lastDecile_ = lastPercent_ = -1;
    unitBase_ = bytes_;
    if (!json_)
      output_.Device(serial_, status);
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    std::string line = caption + ": " + TerminalText(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    if (failure_.empty())
      failure_ = line;
    // A live board on the same terminal would be torn by it; the row's
    // result and the table carry the text.
    if (alone_)
      output_.Err(caption + ": " + TerminalText(text) + "\n");
    else if (!json_ && !(output_.Live() && output_.io().errIsTerminal))
      output_.Err(serial_ + ": " + line + "\n");
  }
  void OnProgress(Unit unit, uint64_t done, uint64_t total) override {
    const int64_t nowUs = clock_.Now().count();
    bytes_ = unitBase_ + done;
    const bool finished = done >= total;
    const ProgressMeter::Reading r = meter_.Report(nowUs, done, total);
    if (json_) {
      // At most once a second per unit, and its end.
      if (!finished && lastJsonUs_ >= 0 && nowUs - lastJsonUs_ < 1000000)
        return;
      lastJsonUs_ = nowUs;
      output_.Json(json{{"event", "progress"},
                        {"serial", serial_},
                        {"unit", std::string(UnitName(unit))},
                        {"bytes", done},
                        {"total", total},
                        {"seconds", r.seconds}}
                       .dump() +
                   "\n");
      return;
    }
    if (output_.Live()) {
      // Redrawn when the percentage moves, not on every chunk.
      const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
      if (percent == lastPercent_ && !finished)
        return;
      lastPercent_ = percent;
      const size_t width = LineWidth(output_.io().out);
      const size_t room = width > serial_.size() + 2 ? width - serial_.size() - 2 : 0;
      std::string row = FormatProgress(UnitName(unit), done, total, r.seconds, r.rate, true, room);
      row.erase(0, row.find_first_not_of(' '));
      output_.Device(serial_, row);
      return;
    }
    const int decile =
        total == 0 ? 10 : static_cast<int>(std::min<uint64_t>(done * 10 / total, 10));
    if ((decile == lastDecile_ && !finished) || (finished && lastDecile_ == 10))
      return;
    lastDecile_ = finished ? 10 : decile;
    output_.Device(serial_, FormatProgress(UnitName(unit), done, total, r.seconds, r.rate, false));
  }

  const std::string& failure() const { return failure_; }
  uint64_t bytes() const { return bytes_; }

 private:
  const std::string& serial_;
  Clock& clock_;
  LineOutput& output_;
  const bool json_;
  const bool alone_;
  std::string failure_;  // the first error box, "caption: text"
  ProgressMeter meter_;
  int64_t lastJsonUs_ = -1;
  int lastDecile_ = -1;
  int lastPercent_ = -1;
  uint64_t unitBase_ = 0;
  uint64_t bytes_ = 0;
};

// One device of the run, from its reading to its result.
struct DeviceJob {
  // One of several (held to its chip by `s`, every question answered
  // before), or `alone`: the run's one device, asked as "update" asks and
  // held to `s` only when a --serial chose it.
  DeviceJob(const std::string& s, Clock& c, D2xxApi& d2xx, LineOutput& output, const Options& o,
            const FirmwarePackage& package, QuestionPolicy* alone = nullptr)
      : serial(s),
        clock(c),
        session(std::make_unique<DeviceSession>(d2xx, c)),
        view(serial, c, output, o.json, alone != nullptr),
        answers(o.yes),
        stop(alone == nullptr),
        engine(*session, package, view, alone != nullptr ? *alone : answers, stop) {
    if (session->link && (alone == nullptr || o.serial))
      session->link->SetSerialFilter(serial);
    request.asked = UpdateRequest::Units(!o.noHc, !o.noCamera);
    request.force = o.force;
  }

  std::string serial;
  Clock& clock;
  std::unique_ptr<DeviceSession> session;
  DeviceRowView view;
  PresetAnswers answers;  // asked before any device writes
  SignalStop stop;
  UpdateEngine engine;
  UpdateRequest request;
  DeviceResult result;
};

// The result's fields known from the reading before: ids and old versions.
void FillBefore(DeviceResult& r, const std::string& serial, const UpdateRequest& request,
                const std::optional<DeviceReportRecords>& before) {
  r.serial = serial;
  if (before) {
    r.hcUniqueId = Field(before->hc.uniqueId, sizeof before->hc.uniqueId);
    if (before->cameraAccessed)
      r.cameraUniqueId = Field(before->camera.uniqueId, sizeof before->camera.uniqueId);
  }
  r.versions.clear();
  for (const Unit u : kUnits) {
    if (!request.asked(u))
      continue;
    const std::optional<FirmwareVersion> held =
        before ? HeldVersion(*before, u) : std::optional<FirmwareVersion>();
    r.versions.push_back({std::string(UnitName(u)), held ? held->Text() : "-", "-", "", ""});
  }
}

// What became of a unit, in a word of the table.
std::string UnitStateWord(const UnitOutcome& o) {
  if (o.WrittenCompletely())
    return "written";
  if (o.state == UnitState::Incomplete)
    return "incomplete";
  if (o.state == UnitState::Skipped && o.skipped == SkipReason::UpToDate)
    return "up to date";
  return "not written";
}

// What the outcome says of the device, in the words of the lines and the
// table.
void FillResult(DeviceJob& job, const UpdateOutcome& outcome, int64_t startUs) {
  DeviceResult& r = job.result;
  FillBefore(r, job.serial, job.request, outcome.before);
  for (DeviceResult::UnitVersions& v : r.versions) {
    const UnitOutcome& o =
        outcome.unit(v.unit == UnitName(Unit::Camera) ? Unit::Camera : Unit::HandController);
    if (o.WrittenCompletely() && outcome.after)
      v.after = o.after ? o.after->Text() : "none";
    v.package = o.package.Text();
    v.state = UnitStateWord(o);
  }
  r.units = ListUnits(outcome);
  r.code = outcome.code;
  r.declined = outcome.Declined();
  r.bytes = job.view.bytes();
  const int sig = PendingSignal();
  if (sig != 0 && !outcome.Succeeded()) {
    r.text = std::string("interrupted (") + SignalName(sig) + ")";
  } else if (outcome.Succeeded()) {
    r.ok = true;
    r.text = outcome.NothingToWrite() ? "already up to date" : "ok";
  } else if (outcome.refusal == UpdateRefusal::DowngradeDeclined) {
    r.text = "downgrade declined: nothing written";
  } else if (outcome.refusal == UpdateRefusal::UnreadableDeclined) {
    r.text = "can't read the units before the update (" +
             TerminalText(DeviceErrorText(outcome.code)) + "), declined: nothing written";
  } else if (outcome.refusal == UpdateRefusal::PcbDeclined) {
    r.text = "PCB warning answered no: nothing written";
  } else if (outcome.failedStep == UpdateStep::ReadAfter) {
    r.text = "can't read the units again after the update: " +
             TerminalText(DeviceErrorText(outcome.code));
  } else if (outcome.end == UpdateStage::Done) {
    r.text = "a unit doesn't report the package's firmware after the update";
  } else {
    r.text = job.view.failure().empty() ? "update failed" : job.view.failure();
  }
  if (!r.ok) {
    if (!r.units.written.empty())
      r.text += "; written: " + Join(r.units.written);
    for (const std::string& unit : r.units.incomplete)
      r.text += "; " + unit + " left with an incomplete image";
    if (!r.units.notWritten.empty())
      r.text += "; not updated: " + Join(r.units.notWritten);
  }
  r.endUs = job.clock.Now().count();
  r.seconds = static_cast<double>(r.endUs - startUs) / 1e6;
}

// One device's update, on its own thread.
UpdateOutcome RunJob(DeviceJob& job, const Options& o, LineOutput& output, int64_t startUs) {
  if (o.json) {
    json units = json::array();
    for (const Unit u : kUnits) {
      if (job.request.asked(u))
        units.push_back(std::string(UnitName(u)));
    }
    output.Json(json{{"event", "start"}, {"serial", job.serial}, {"units", units}}.dump() + "\n");
  }
  const UpdateOutcome outcome = job.engine.Run(job.request);
  job.session.reset();  // closes the link
  FillResult(job, outcome, startUs);
  return outcome;
}

void SayResult(const DeviceResult& r, const Options& o, LineOutput& output) {
  if (o.json)
    output.Json(ResultJson(r) + "\n");
  else
    output.Device(r.serial, r.text);
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
  WriteOut(ShownText(text));
}

void LineOutput::Json(const std::string& text) {
  const std::lock_guard lock(mutex_);
  WriteOut(text);
}

void LineOutput::WriteOut(const std::string& text) {
  PrintJson(io_, text);
}

void LineOutput::Err(const std::string& text) {
  const std::lock_guard lock(mutex_);
  PrintErr(io_, text);
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
  if (!io_.outIsTerminal || !io_.outTakesEscapes || serials.empty())
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

void LineOutput::DrawBoard() {
  const size_t width = LineWidth(io_.out);
  std::string text;
  // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + string&&.
  if (drawn_) {
    text = "\033[";
    text += std::to_string(rows_.size());
    text += 'A';
  }
  for (size_t i = 0; i < rows_.size(); ++i) {
    text += '\r';
    text += Cut(ShownText(serials_[i] + "  " + rows_[i]), width);
    text += "\033[K\n";
  }
  drawn_ = true;
  WriteOut(text);
}

DeviceResult UpdateArrivedDevice(const Options& o, LineOutput& output, D2xxApi& d2xx, Clock& clock,
                                 const std::string& serial, const FirmwarePackage& package) {
  const int64_t startUs = clock.Now().count();
  DeviceJob job(serial, clock, d2xx, output, o, package);
  job.request.verify = true;
  job.engine.ReadBefore();
  const std::vector<Question> questions = job.engine.QuestionsBefore(job.request);
  const std::optional<DeviceReportRecords>& before = job.engine.before();
  auto leaveAlone = [&](std::string why) {
    job.session.reset();
    DeviceResult& r = job.result;
    FillBefore(r, serial, job.request, before);
    r.leftAlone = true;
    r.code = job.engine.beforeCode();
    r.text = std::move(why);
    r.endUs = clock.Now().count();
    r.seconds = static_cast<double>(r.endUs - startUs) / 1e6;
    return r;
  };
  if (before && before->hc.bootMode == 0)
    return leaveAlone("in application mode, not BOOT mode: left alone");
  if (!o.yes && !questions.empty()) {
    switch (questions.front().kind) {
      case QuestionKind::UnreadableUnits:
        return leaveAlone(
            "can't read the device: " + TerminalText(DeviceErrorText(job.engine.beforeCode())) +
            ": left alone (--yes writes it)");
      case QuestionKind::PcbWarning:
        return leaveAlone("its board (PCB 0x" + Hex(before->hc.hardwareId) +
                          ") is newer than the package supports: left alone (--yes writes it)");
      case QuestionKind::Downgrade:
        return leaveAlone(
            "the package's firmware is older than the device's: left alone (--yes writes it)");
    }
  }
  // A device that already holds the package is done: it counts, and is
  // logged, as one updated.
  RunJob(job, o, output, startUs);
  SayResult(job.result, o, output);
  return job.result;
}

std::string ResultJson(const DeviceResult& r) {
  json versions = json::object();
  for (const DeviceResult::UnitVersions& v : r.versions) {
    versions[v.unit] = {{"old", v.before}, {"new", v.after}};
    if (!v.package.empty())
      versions[v.unit]["package"] = v.package;
  }
  json j{{"event", "result"},
         {"serial", r.serial},
         {"hc_unique_id", r.hcUniqueId},
         {"camera_unique_id", r.cameraUniqueId},
         {"versions", versions},
         {"ok", r.ok},
         {"left_alone", r.leftAlone},
         {"code", r.code},
         {"text", r.text},
         {"written", r.units.written},
         {"stopped", r.units.incomplete.empty() ? std::string() : r.units.incomplete.front()},
         {"skipped", r.units.notWritten},
         {"up_to_date", r.units.upToDate},
         {"bytes", r.bytes},
         {"seconds", r.seconds}};
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

// A unit's cell: what it held and holds, or, when the units weren't read
// (--no-verify), what was done to it.
std::string VersionCell(const DeviceResult::UnitVersions& v) {
  if (v.before != "-" || v.after != "-" || v.state.empty())
    return v.before + " \u2192 " + v.after;
  if (v.state == "written")
    return "wrote " + v.package;
  return v.state;
}

// Lines of at most `width` characters, broken at spaces; a word longer
// than that is broken where it must.
std::vector<std::string> WrapText(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!line.empty() && Chars(line) + 1 + Chars(word) > width) {
      lines.push_back(line);
      line.clear();
    }
    while (Chars(word) > width) {
      if (!line.empty()) {
        lines.push_back(line);
        line.clear();
      }
      const std::string head = Cut(word, width);
      lines.push_back(head);
      word.erase(0, head.size());
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty() || lines.empty())
    lines.push_back(line);
  return lines;
}

}  // namespace

std::string ResultTable(const std::vector<DeviceResult>& results, size_t maxWidth) {
  struct Column {
    std::string head;
    std::vector<std::string> cells;
    size_t width = 0;
    bool shown = true;
  };
  std::vector<Column> columns = {{"serial", {}}, {"unique ids", {}}};
  for (const DeviceResult& r : results) {
    for (const DeviceResult::UnitVersions& v : r.versions) {
      bool known = false;
      for (const Column& c : columns)
        known = known || c.head == v.unit;
      if (!known)
        columns.push_back({v.unit, {}});
    }
  }
  const size_t firstUnit = 2;
  const size_t units = columns.size() - firstUnit;
  columns.push_back({"time", {}});
  for (const DeviceResult& r : results) {
    std::string ids = r.hcUniqueId.empty() ? "-" : r.hcUniqueId;
    if (!r.cameraUniqueId.empty())
      ids += " " + r.cameraUniqueId;
    columns[0].cells.push_back(r.serial);
    columns[1].cells.push_back(ids);
    for (size_t u = 0; u < units; ++u) {
      std::string cell = "-";
      for (const DeviceResult::UnitVersions& v : r.versions) {
        if (v.unit == columns[firstUnit + u].head)
          cell = VersionCell(v);
      }
      columns[firstUnit + u].cells.push_back(cell);
    }
    columns.back().cells.push_back(FormatDuration(r.seconds));
  }
  for (Column& c : columns) {
    c.width = Chars(c.head);
    for (const std::string& cell : c.cells)
      c.width = std::max(c.width, Chars(cell));
  }
  // Without readings (--no-verify) no unique id is known.
  columns[1].shown = std::any_of(columns[1].cells.begin(), columns[1].cells.end(),
                                 [](const std::string& ids) { return ids != "-"; });

  // The result comes last and wraps in what the other columns leave. Too
  // narrow a terminal loses whole columns first: the unique ids, the time,
  // then the units' versions from the last.
  constexpr size_t kShortestResult = 24;
  auto before = [&] {
    size_t room = 0;
    for (const Column& c : columns)
      room += c.shown ? c.width + 2 : 0;
    return room;
  };
  std::vector<size_t> dropping = {1, columns.size() - 1};
  for (size_t u = units; u > 0; --u)
    dropping.push_back(firstUnit + u - 1);
  for (const size_t drop : dropping) {
    if (maxWidth == kAnyWidth || before() + kShortestResult <= maxWidth)
      break;
    columns[drop].shown = false;
  }
  const size_t resultWidth = maxWidth == kAnyWidth
                                 ? kAnyWidth
                                 : std::max<size_t>(maxWidth - std::min(maxWidth, before()), 8);

  std::string out;
  for (size_t row = 0; row <= results.size(); ++row) {
    std::string line;
    for (const Column& c : columns) {
      if (c.shown)
        line += Pad(row == 0 ? c.head : c.cells[row - 1], c.width) + "  ";
    }
    const std::vector<std::string> text = row == 0 ? std::vector<std::string>{"result"}
                                                   : WrapText(results[row - 1].text, resultWidth);
    out += line + text[0] + "\n";
    for (size_t i = 1; i < text.size(); ++i)
      out += std::string(before(), ' ') + text[i] + "\n";
  }
  return out;
}

UpdateOutcome UpdateOneDeviceJson(const Options& o, const CliStreams& io, D2xxApi& d2xx,
                                  Clock& clock, const std::string& serial,
                                  const FirmwarePackage& package, QuestionPolicy& questions) {
  LineOutput output(io);
  DeviceJob job(serial, clock, d2xx, output, o, package, &questions);
  job.request.verify = !o.noVerify;
  const UpdateOutcome outcome = RunJob(job, o, output, clock.Now().count());
  SayResult(job.result, o, output);
  return outcome;
}

int RunMultiUpdate(const Options& o, const CliStreams& io, DeviceSource& source,
                   const FirmwarePackage& package) {
  std::vector<std::string> serials;
  if (auto code = ChooseSeveralDevices(o, io, source.d2xx(), &serials))
    return *code;

  LineOutput output(io);
  std::vector<std::unique_ptr<DeviceJob>> jobs;
  std::vector<int64_t> starts;
  for (const std::string& serial : serials) {
    Clock& clock = source.DeviceClock(serial);
    starts.push_back(clock.Now().count());
    jobs.push_back(std::make_unique<DeviceJob>(serial, clock, source.d2xx(), output, o, package));
    jobs.back()->request.verify = !o.noVerify;
  }
  // The readings side by side, each on its device's thread of the moment;
  // then every question, one device after another, before any upload.
  if (!o.noVerify) {
    std::vector<std::thread> readers;
    for (auto& job : jobs)
      readers.emplace_back([j = job.get()] { j->engine.ReadBefore(); });
    for (std::thread& th : readers)
      th.join();
    for (auto& job : jobs) {
      TerminalQuestions ask(io, o.yes, job->serial + ": ");
      for (const Question& q : job->engine.QuestionsBefore(job->request)) {
        const bool yes = ask.Answer(q);
        job->answers.Set(q.kind, yes);
        if (!yes)
          break;  // nothing is written to it: no more to ask
      }
    }
  }

  // From here a signal lets every unit being written finish.
  BeginSeveralUnits();
  if (!o.json)
    output.StartBoard(serials);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back([&o, &output, j = jobs[i].get(), start = starts[i]] {
      RunJob(*j, o, output, start);
      SayResult(j->result, o, output);
    });
  }
  for (std::thread& th : threads)
    th.join();
  EndUnit();
  output.EndBoard();

  std::vector<DeviceResult> results;
  bool allOk = true;
  bool onlyDeclined = true;
  for (const auto& job : jobs) {
    results.push_back(job->result);
    allOk = allOk && job->result.ok;
    onlyDeclined = onlyDeclined && (job->result.ok || job->result.declined);
  }
  if (!o.json)
    output.Out("\n" + ResultTable(results, io.outIsTerminal ? LineWidth(io.out) : kAnyWidth));
  if (const int sig = PendingSignal(); sig != 0)
    return 128 + sig;
  return allOk ? kExitOk : onlyDeclined ? kExitDeclined : kExitDeviceFailure;
}

}  // namespace vexo3::cli
