#pragma once

// The device's side of the wire format: a streaming parser of command frames
// (with the bulk block that follows a frame's end marker) and a writer of
// answer frames, asynchronous messages and bulk data. Written from the wire
// formats on purpose, separate from the host's frame code.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexo3::sim {

// One command frame as the unit parsed it.
struct ParsedCommand {
  struct Item {
    uint8_t code = 0;
    std::vector<uint8_t> data{};
  };
  uint8_t code = 0;
  uint8_t counter = 0;
  std::vector<Item> items{};  // parameters in frame order (the bulk marker excluded)
  bool hasBulk = false;
  std::vector<uint8_t> bulk{};  // the block that followed the frame
  uint32_t baudRate = 0;
};

// Command code -> (parameter code -> data size): what the unit's own parser
// uses to split frames. Besides the advertised catalog it holds 248/10, the
// catalog request of the handshake.
using DeviceParameterSizes = std::map<uint8_t, std::map<uint8_t, uint8_t>>;
const DeviceParameterSizes& BuiltInParameterSizes();
// The descriptor block the unit advertises by default.
std::vector<uint8_t> BuiltInCatalogBlock();

inline constexpr uint16_t kMaxFrame = 528;
// Largest bulk block a command may announce; a larger one is treated as a
// garbled frame (the unit can't buffer it).
inline constexpr uint32_t kMaxCommandBulk = 1u << 20;

struct ParserEvent {
  enum class Kind {
    Frame,             // a complete frame (and its bulk block, when announced)
    Raw,               // a raw single-byte command (0x00 or 0xFF)
    UnknownCommand,    // code not known: answer with counter F0
    UnknownParameter,  // a parameter the command doesn't know
    TooLong,           // more than 528 bytes before the end marker, or bulk too large
  };
  Kind kind = Kind::Frame;
  ParsedCommand frame;  // code and counter are set for every kind but Raw
};

class CommandParser {
 public:
  explicit CommandParser(const DeviceParameterSizes& sizes = BuiltInParameterSizes())
      : sizes_(sizes) {}

  // Takes bytes as they come off the line, in any split. Completed events are
  // appended to `out`. After an error event the rest of that frame, up to the
  // next 0xFF, is dropped.
  void Feed(std::span<const uint8_t> bytes, std::vector<ParserEvent>* out);
  // Forgets any partial frame.
  void Reset();

 private:
  enum class State { Code, Counter, ItemCode, ItemData, BulkCount, Bulk, Skip };
  void Fail(ParserEvent::Kind kind, std::vector<ParserEvent>* out);

  const DeviceParameterSizes& sizes_;
  State state_ = State::Code;
  ParsedCommand frame_;
  const std::map<uint8_t, uint8_t>* table_ = nullptr;
  uint32_t frameBytes_ = 0;
  uint32_t need_ = 0;  // bytes still wanted in ItemData, BulkCount, Bulk
  uint32_t bulkCount_ = 0;
  std::vector<uint8_t> countBytes_;
};

struct AnswerItem {
  uint8_t code = 0;
  std::vector<uint8_t> data;
};

// id, counter, type, L (u16, whole frame), then code/length/data items.
std::vector<uint8_t> WriteAnswerFrame(uint8_t id, uint8_t counter, uint8_t type,
                                      std::span<const AnswerItem> items);
// The answer with FC (size) and FD items appended, then the block in pieces of
// at most 65535 - L bytes, each later piece preceded by the same frame again.
// Element 0 is the first frame; pieces and follow-up frames alternate after it.
std::vector<std::vector<uint8_t>> WriteAnswerWithBulk(uint8_t id, uint8_t counter,
                                                      std::vector<AnswerItem> items,
                                                      std::span<const uint8_t> bulk);
// What a unit answers to one frame: an answer of type 0 with its items and
// optionally a bulk block, or an error answer (another type, without items).
struct UnitAnswer {
  uint8_t type = 0;
  std::vector<AnswerItem> items{};
  std::optional<std::vector<uint8_t>> bulk{};
};
// The answer's segments as WriteAnswerWithBulk gives them (one frame when
// there is no bulk block or the type isn't 0).
std::vector<std::vector<uint8_t>> WriteAnswer(uint8_t id, uint8_t counter, UnitAnswer answer);

// FB code 00 00 00.
std::vector<uint8_t> WriteAsyncMessage(uint8_t code);

void PutU16(std::vector<uint8_t>* out, uint16_t v);
void PutU32(std::vector<uint8_t>* out, uint32_t v);
// The text's bytes, cut or NUL-padded to exactly n.
void PutFixedText(std::vector<uint8_t>* out, const std::string& text, size_t n);

}  // namespace vexo3::sim
