// Any byte string is a possible answer to a command: the session connects to
// a scripted device that then sends the input in place of the answer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/clock.h"
#include "protocol/device_session.h"
#include "sim/scripted_peer.h"
#include "sim/sim_bus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using Bytes = std::vector<uint8_t>;
  vexo3::VirtualClock clock;
  vexo3::sim::ScriptedPeer peer;
  peer.Expect({0x00}, {}, {}, 9600)
      .Expect({0xF8, 0x01, 0x01, 0xFF},
              {0xF8, 0x01, 0x00, 0x0B, 0x00, 0x03, 0x04, 0x05, 0x01, 0x01, 0x00})
      .Expect({0xF8, 0x02, 0x0A, 0xFF}, {0xF8, 0x02, 0x00, 0x0F, 0x00, 0x0A, 0x00, 0xFC, 0x04, 0x00,
                                         0x00, 0x00, 0x00, 0xFD, 0x00})
      .Expect({0xF8, 0x01, 0x01, 0xFF}, Bytes(data, data + size))
      .Silence();
  vexo3::sim::SimulatedBus bus(clock);
  bus.AddChip(vexo3::sim::ChipInfo{}, &peer);
  vexo3::DeviceSession session(bus, clock);

  if (session.BeginCommand(0xF8) != 0 || session.AddParameter(0x01, nullptr, 0) != 0 ||
      session.SendCommand() != 0) {
    std::abort();  // the scripted handshake always connects
  }
  session.ReceiveAnswer();
  if (session.receivedBulkLength > vexo3::DeviceSession::kBulkReceiveCapacity)
    std::abort();

  const auto& frame = session.answerMessage.buffer;
  for (int code = 1; code < 256; ++code) {
    const uint8_t* item = session.FindAnswerParameter(static_cast<uint8_t>(code));
    if (item == nullptr)
      continue;
    // A found item lies whole inside the frame that arrived.
    const size_t offset = static_cast<size_t>(item - frame.data());
    if (offset + 2 + item[1] > session.answerMessage.length)
      std::abort();
  }
  return 0;
}
