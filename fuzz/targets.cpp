#include "fuzz/targets.h"

#ifdef _WIN32
#include <filesystem>
#include <fstream>
#include <random>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "device/camera.h"
#include "device/hand_controller.h"
#include "firmware/firmware_package.h"
#include "link/replay_d2xx.h"
#include "link/trace_format.h"
#include "platform/clock.h"
#include "protocol/command_catalog.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/scenario/profile.h"
#include "sim/scenario/simulated_setup.h"
#include "sim/scenario/state_file.h"

namespace vexo3::fuzz {

namespace {

// An invariant broke: say which, and stop here so the fuzzer keeps the input.
[[noreturn]] void Fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz invariant broken (targets.cpp:%d): %s\n", line, what);
  std::abort();
}

#define CHECK(cond) ((cond) ? void() : Fail(#cond, __LINE__))

// Every item FindAnswerParameter hands out lies whole inside the answer frame.
void CheckAnswerItems(DeviceSession& session) {
  const MessageBuffer& answer = session.answerMessage;
  CHECK(answer.length <= MessageBuffer::kCapacity);
  for (int code = 0; code < 256; ++code) {
    const uint8_t* item = session.FindAnswerParameter(static_cast<uint8_t>(code));
    if (item == nullptr)
      continue;
    CHECK(item >= answer.buffer.data());
    const size_t offset = static_cast<size_t>(item - answer.buffer.data());
    CHECK(offset + 2 <= answer.length);
    CHECK(item[0] == code);
    CHECK(offset + 2 + item[1] <= answer.length);
  }
}

// The device of the answer fuzzer: answers each write of the host with the
// next chunk of the input.
class ChunkPeer final : public sim::SimPeer {
 public:
  ChunkPeer(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  void OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) override {
    written_.insert(written_.end(), bytes.begin(), bytes.end());
    lastAnswered_ = false;
    if (size_ - pos_ < 2) {
      pos_ = size_;
      return;
    }
    size_t n = static_cast<size_t>(data_[pos_]) | static_cast<size_t>(data_[pos_ + 1]) << 8;
    pos_ += 2;
    n = std::min(n, size_ - pos_);
    if (n > 0) {
      port.Send(std::span<const uint8_t>(data_ + pos_, n));
      lastAnswered_ = true;
    }
    pos_ += n;
  }

  // All bytes the host wrote, in order.
  const std::vector<uint8_t>& Written() const { return written_; }
  // The host's last write got an answer.
  bool LastAnswered() const { return lastAnswered_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  std::vector<uint8_t> written_;
  bool lastAnswered_ = false;
};

bool Contains(const std::vector<uint8_t>& haystack, const uint8_t* needle, size_t n) {
  return std::search(haystack.begin(), haystack.end(), needle, needle + n) != haystack.end();
}

ResultCode WithCamera(DeviceSession& session, ResultCode (*op)(DeviceSession&)) {
  ResultCode rc = StartCamera(session);
  if (rc == 0)
    rc = op(session);
  (void)StopCamera(session);  // owed once StartCamera was called
  return rc;
}

}  // namespace

namespace {

#ifdef _WIN32
// The loader takes a path. Windows has no anonymous in-memory file: a
// scratch file in the temp folder stands in (the suite replays the corpus
// there; fuzzing itself runs on Linux).
int LoadFromBytes(const uint8_t* data, size_t size, FirmwarePackage& package) {
  std::random_device random;
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("vexo3-fuzz-" + std::to_string(random()) + ".bin");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
      return -1;
  }
  const int rc = package.LoadPackage(path.string());
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return rc;
}
#else
// The loader takes a path: hand it an anonymous in-memory file.
int LoadFromBytes(const uint8_t* data, size_t size, FirmwarePackage& package) {
  const int fd = memfd_create("package", MFD_CLOEXEC);
  if (fd < 0)
    return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  const int rc = package.LoadPackage("/proc/self/fd/" + std::to_string(fd));
  close(fd);
  return rc;
}
#endif

}  // namespace

int FuzzPackage(const uint8_t* data, size_t size) {
  FirmwarePackage package;
  const int rc = LoadFromBytes(data, size, package);
  if (rc < 0)
    return 0;  // the scratch file couldn't be made

  CHECK(rc >= FirmwarePackage::kOk && rc <= FirmwarePackage::kNoMemory);
  CHECK(rc != FirmwarePackage::kCannotOpen);
  size_t bytesHeld = 0;
  for (const FirmwareImage* image : {&package.hcImage, &package.cameraImage}) {
    if (!image->IsPresent())
      continue;
    CHECK(image->length <= FirmwareImage::kMaxLength);
    bytesHeld += image->length;
  }
  if (package.hcImage.IsPresent())
    CHECK(std::memcmp(package.hcImage.kind, "HC", 2) == 0);
  if (package.cameraImage.IsPresent())
    CHECK(std::memcmp(package.cameraImage.kind, "CA", 2) == 0);
  // The images' data came from the file.
  CHECK(bytesHeld <= size);
  return 0;
}

int FuzzCatalog(const uint8_t* data, size_t size) {
  CommandCatalog catalog;
  const int rc = catalog.LoadCatalog(data, size);
  CHECK(rc >= 0 && rc <= 2);
  if (size > 0)
    CHECK(catalog.Commands().size() <= data[0]);
  // A well-formed block loads the same way twice.
  if (rc == 0) {
    CommandCatalog again;
    CHECK(again.LoadCatalog(data, size) == 0 && again.Commands() == catalog.Commands());
  }
  return 0;
}

int FuzzProfile(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sim::Profile profile;
  std::string error;
  // The state file is the profile's companion, JSON as well.
  std::vector<sim::ChipFirmwareState> chips;
  std::string stateError;
  if (!sim::FirmwareStateFromJson(text, &chips, &stateError))
    CHECK(!stateError.empty());

  const bool ok = sim::ParseProfile(text, "/base", &profile, &error);
  if (!ok) {
    CHECK(!error.empty());
    return 0;
  }
  // A profile that parses builds its bus, and a session can talk to it.
  if (profile.scenario.chips.size() <= 4) {
    // A "signal" fault would be raised in the fuzzer itself.
    std::erase_if(profile.scenario.faults,
                  [](const sim::Fault& f) { return f.action == sim::FaultAction::Signal; });
    VirtualClock clock;
    sim::SimulatedSetup setup(clock, profile);
    DeviceSession session(setup.bus(), clock);
    (void)session.OpenSession();
  }
  return 0;
}

int FuzzTrace(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const auto op =
      static_cast<AnswerOperation>(data[0] % static_cast<uint8_t>(AnswerOperation::kCount));
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  Trace trace;
  std::string error;
  if (!ParseTrace(text, &trace, &error)) {
    CHECK(error.starts_with("line "));
    return 0;
  }
  CHECK(trace.lines.size() == trace.calls.size());
  // Written again, the calls read back unchanged, times included.
  std::string again = std::string(kTraceVersionLine) + "\n";
  for (const TraceCall& c : trace.calls)
    again += FormatTraceLine(c);
  Trace back;
  CHECK(ParseTrace(again, &back, &error));
  CHECK(!back.cutShort);
  CHECK(back.calls.size() == trace.calls.size());
  for (size_t i = 0; i < back.calls.size(); ++i) {
    CHECK(back.calls[i].SameCall(trace.calls[i]));
    CHECK(back.calls[i].startUs == trace.calls[i].startUs);
    CHECK(back.calls[i].durationUs == trace.calls[i].durationUs);
  }
  // Played as the device: whatever the trace says, the replay stays inside
  // the program's buffers and answers at most the calls it holds.
  VirtualClock clock;
  ReplayD2xx replay(trace, clock);
  {
    DeviceSession session(replay, clock);
    const ResultCode rc = RunOperation(op, session);
    if (replay.Diverged())
      CHECK(rc != 0 || !replay.Report().empty());
  }
  const std::string& report = replay.Finish();
  CHECK(replay.CallsReplayed() <= trace.calls.size());
  CHECK(report.empty() || report.starts_with("replay: "));
  return 0;
}

ResultCode RunOperation(AnswerOperation op, DeviceSession& session) {
  switch (op) {
    case AnswerOperation::kRawExchange: {
      ResultCode rc = session.BeginCommand(0xF8);
      if (rc == 0)
        rc = session.AddParameter(0x01, nullptr, 0);
      if (rc == 0)
        rc = session.SendCommand();
      if (rc == 0)
        rc = session.ReceiveAnswer();
      return rc;
    }
    case AnswerOperation::kDeviceState: {
      DeviceState state;
      const ResultCode rc = ReadDeviceState(session, state);
      CHECK(state.chipSerial[sizeof state.chipSerial - 1] == 0);
      CHECK(state.chipDescription[sizeof state.chipDescription - 1] == 0);
      CHECK(state.uniqueId[sizeof state.uniqueId - 1] == 0);
      CHECK(state.deviceText[sizeof state.deviceText - 1] == 0);
      return rc;
    }
    case AnswerOperation::kFirmwareInfo: {
      FirmwareInfo info;
      return ReadFirmwareInfo(session, &info);
    }
    case AnswerOperation::kStartCamera:
      return StartCamera(session);
    case AnswerOperation::kStopCamera:
      return WithCamera(session, StopCamera);
    case AnswerOperation::kCameraState:
      return WithCamera(session, [](DeviceSession& s) {
        DeviceState state;
        const ResultCode rc = ReadCameraState(s, &state);
        CHECK(state.uniqueId[sizeof state.uniqueId - 1] == 0);
        return rc;
      });
    case AnswerOperation::kCameraFirmwareInfo:
      return WithCamera(session, [](DeviceSession& s) {
        FirmwareInfo info;
        return ReadCameraFirmwareInfo(s, &info);
      });
    case AnswerOperation::kHcUpload:
      return UploadHcFirmware(session, kUploadImage, sizeof kUploadImage, kUploadStartCode);
    case AnswerOperation::kCameraUpload:
      return UploadCameraFirmware(session, kUploadImage, sizeof kUploadImage, kUploadStartCode);
    case AnswerOperation::kCount:
      break;
  }
  return 0;
}

int RunAnswerCase(const uint8_t* data, size_t size) {
  if (size < 1)
    return -1;
  const auto op =
      static_cast<AnswerOperation>(data[0] % static_cast<uint8_t>(AnswerOperation::kCount));
  VirtualClock clock;
  ChunkPeer peer(data + 1, size - 1);
  sim::SimulatedBus bus(clock);
  bus.AddChip(sim::ChipInfo{}, &peer);
  DeviceSession session(bus, clock);

  const ResultCode rc = RunOperation(op, session);
  // An upload succeeds only when the whole image went out and the unit
  // answered the last command.
  if (rc == 0 && (op == AnswerOperation::kHcUpload || op == AnswerOperation::kCameraUpload)) {
    CHECK(Contains(peer.Written(), kUploadImage, sizeof kUploadImage));
    CHECK(peer.LastAnswered());
  }
  // The received block lies in the store, whatever the device announced.
  const auto bulk = session.receivedBulk.Bytes();
  CHECK(bulk.empty() || (bulk.data() == session.bulkReceiveBuffer->data() &&
                         bulk.size() <= DeviceSession::kBulkReceiveCapacity));
  CheckAnswerItems(session);
  return rc;
}

int FuzzAnswer(const uint8_t* data, size_t size) {
  (void)RunAnswerCase(data, size);
  return 0;
}

}  // namespace vexo3::fuzz
