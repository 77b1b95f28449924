#pragma once

// A DeviceSession on the simulated bus, talking to the simulated
// HandController, on a VirtualClock. Tests can have the answer to a command
// replaced by hand-written bytes: the frame then never reaches the model.

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/hand_controller.h"

namespace vexo3::testing_support {

using Bytes = std::vector<uint8_t>;

// Sits between the chip and the HandController model. While answers are
// queued, each command frame at line speed (the requests of a handshake under
// way excepted) is taken off the line and answered with the next one.
class AnswerOverride final : public sim::SimPeer {
 public:
  explicit AnswerOverride(sim::SimHandController& hc) : hc_(hc) {}

  // Each queued answer may be several pieces sent back to back.
  void Queue(std::vector<Bytes> pieces) { queued_.push_back(std::move(pieces)); }
  void Queue(Bytes answer) { Queue(std::vector<Bytes>{std::move(answer)}); }
  size_t Pending() const { return queued_.size(); }
  // The frames taken off the line, oldest first.
  const std::vector<Bytes>& Intercepted() const { return intercepted_; }

  void OnHostBytes(sim::SimChip& port, std::span<const uint8_t> bytes) override;
  void OnOpen(sim::SimChip& port) override;
  void OnClose(sim::SimChip& port) override { hc_.OnClose(port); }

 private:
  sim::SimHandController& hc_;
  std::deque<std::vector<Bytes>> queued_;
  std::vector<Bytes> intercepted_;
  bool handshakeExpected_ = true;
};

struct ProtocolRig {
  explicit ProtocolRig(sim::HandControllerConfig cfg = {});

  // OpenSession, then forgets what the chip recorded so far.
  ResultCode Connect();
  // Host bytes written at 3,000,000 baud since the last ClearRecords.
  Bytes Written() const;
  // Number of FT_Read calls since the rig was built.
  uint32_t Reads() const { return bus.CallCount(sim::D2xxCall::Read); }

  VirtualClock clock;
  sim::SimHandController hc;
  AnswerOverride peer;
  sim::SimulatedBus bus;
  sim::SimChip& chip;
  DeviceSession session;
};

// A catalog that checks nothing: every command and parameter passes.
sim::HandControllerConfig WithEmptyCatalog(sim::HandControllerConfig cfg = {});

}  // namespace vexo3::testing_support
