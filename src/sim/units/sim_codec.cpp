#include "sim/units/sim_codec.h"

#include <algorithm>
#include <utility>

namespace vexo3::sim {

const DeviceParameterSizes& BuiltInParameterSizes() {
  // NB: BuiltInCatalogBlock advertises these; keep both in step.
  static const DeviceParameterSizes sizes = {
      {0xF8, {{0x01, 0}, {0x0A, 0}, {0x10, 0}, {0x11, 0}, {0xD1, 0}}},
      {0xF7, {{0x10, 0}, {0x30, 2}, {0x8A, 3}, {0xDA, 0}, {0x8F, 0}}},
      {0xF4, {{0xC1, 0}, {0xC0, 0}, {0x3C, 2}}},
  };
  return sizes;
}

std::vector<uint8_t> BuiltInCatalogBlock() {
  std::vector<uint8_t> block;
  block.push_back(0);
  for (const auto& [command, params] : BuiltInParameterSizes()) {
    ++block[0];
    block.push_back(command);
    const size_t countAt = block.size();
    block.push_back(0);
    for (const auto& [code, size] : params) {
      if (command == 0xF8 && code == 0x0A)
        continue;  // the handshake's own request
      block.push_back(code);
      block.push_back(size);
      ++block[countAt];
    }
  }
  return block;
}

void CommandParser::Reset() {
  state_ = State::Code;
  frame_ = ParsedCommand{};
  table_ = nullptr;
  frameBytes_ = 0;
  need_ = 0;
  bulkCount_ = 0;
  countBytes_.clear();
}

void CommandParser::Fail(ParserEvent::Kind kind, std::vector<ParserEvent>* out) {
  ParserEvent event;
  event.kind = kind;
  event.frame = std::move(frame_);
  out->push_back(std::move(event));
  Reset();
  state_ = State::Skip;
}

void CommandParser::Feed(std::span<const uint8_t> bytes, std::vector<ParserEvent>* out) {
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t b = bytes[i];
    switch (state_) {
      case State::Skip:
        ++i;
        if (b == 0xFF)
          Reset();
        continue;
      case State::Bulk: {
        const size_t take = std::min<size_t>(need_, bytes.size() - i);
        frame_.bulk.insert(frame_.bulk.end(), bytes.begin() + i, bytes.begin() + i + take);
        i += take;
        need_ -= static_cast<uint32_t>(take);
        if (need_ == 0) {
          out->push_back(ParserEvent{ParserEvent::Kind::Frame, std::move(frame_)});
          Reset();
        }
        continue;
      }
      default:
        break;
    }
    ++i;
    if (++frameBytes_ > kMaxFrame) {
      Fail(ParserEvent::Kind::TooLong, out);
      if (b == 0xFF)
        Reset();
      continue;
    }
    switch (state_) {
      case State::Code:
        if (b == 0x00 || b == 0xFF) {
          ParserEvent event;
          event.kind = ParserEvent::Kind::Raw;
          event.frame.code = b;
          out->push_back(std::move(event));
          Reset();
          break;
        }
        frame_.code = b;
        state_ = State::Counter;
        break;
      case State::Counter: {
        frame_.counter = b;
        const auto it = sizes_.find(frame_.code);
        if (it == sizes_.end()) {
          Fail(ParserEvent::Kind::UnknownCommand, out);
          break;
        }
        table_ = &it->second;
        state_ = State::ItemCode;
        break;
      }
      case State::ItemCode:
        if (b == 0xFF) {
          if (frame_.hasBulk && bulkCount_ > 0) {
            need_ = bulkCount_;
            frame_.bulk.reserve(bulkCount_);
            state_ = State::Bulk;
          } else {
            out->push_back(ParserEvent{ParserEvent::Kind::Frame, std::move(frame_)});
            Reset();
          }
        } else if (b == 0xFC) {
          countBytes_.clear();
          need_ = 4;
          state_ = State::BulkCount;
        } else {
          const auto it = table_->find(b);
          if (it == table_->end()) {
            frame_.items.push_back({b, {}});
            Fail(ParserEvent::Kind::UnknownParameter, out);
            break;
          }
          frame_.items.push_back({b, {}});
          need_ = it->second;
          if (need_ > 0)
            state_ = State::ItemData;
        }
        break;
      case State::ItemData:
        frame_.items.back().data.push_back(b);
        if (--need_ == 0)
          state_ = State::ItemCode;
        break;
      case State::BulkCount:
        countBytes_.push_back(b);
        if (--need_ == 0) {
          bulkCount_ = static_cast<uint32_t>(countBytes_[0]) | (uint32_t{countBytes_[1]} << 8) |
                       (uint32_t{countBytes_[2]} << 16) | (uint32_t{countBytes_[3]} << 24);
          frame_.hasBulk = true;
          state_ = State::ItemCode;
          if (bulkCount_ > kMaxCommandBulk)
            Fail(ParserEvent::Kind::TooLong, out);
        }
        break;
      case State::Skip:
      case State::Bulk:
        break;  // handled above
    }
  }
}

void PutU16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out->push_back(static_cast<uint8_t>(v >> shift));
}

void PutFixedText(std::vector<uint8_t>* out, const std::string& text, size_t n) {
  for (size_t i = 0; i < n; ++i)
    out->push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

std::vector<uint8_t> WriteAnswerFrame(uint8_t id, uint8_t counter, uint8_t type,
                                      std::span<const AnswerItem> items) {
  std::vector<uint8_t> frame = {id, counter, type, 0, 0};
  for (const AnswerItem& item : items) {
    frame.push_back(item.code);
    frame.push_back(static_cast<uint8_t>(item.data.size()));
    frame.insert(frame.end(), item.data.begin(), item.data.end());
  }
  const auto length = static_cast<uint16_t>(frame.size());
  frame[3] = static_cast<uint8_t>(length);
  frame[4] = static_cast<uint8_t>(length >> 8);
  return frame;
}

std::vector<std::vector<uint8_t>> WriteAnswerWithBulk(uint8_t id, uint8_t counter,
                                                      std::vector<AnswerItem> items,
                                                      std::span<const uint8_t> bulk) {
  AnswerItem announce{0xFC, {}};
  PutU32(&announce.data, static_cast<uint32_t>(bulk.size()));
  items.push_back(std::move(announce));
  items.push_back({0xFD, {}});
  std::vector<std::vector<uint8_t>> out;
  out.push_back(WriteAnswerFrame(id, counter, 0x00, items));
  const size_t pieceMax = 65535 - out.front().size();
  size_t sent = 0;
  while (sent < bulk.size()) {
    if (sent > 0)
      out.push_back(out.front());
    const size_t piece = std::min(pieceMax, bulk.size() - sent);
    out.emplace_back(bulk.begin() + sent, bulk.begin() + sent + piece);
    sent += piece;
  }
  return out;
}

std::vector<std::vector<uint8_t>> WriteAnswer(uint8_t id, uint8_t counter, UnitAnswer answer) {
  if (answer.type == 0 && answer.bulk)
    return WriteAnswerWithBulk(id, counter, std::move(answer.items), *answer.bulk);
  if (answer.type != 0)
    answer.items.clear();
  std::vector<std::vector<uint8_t>> segments;
  segments.push_back(WriteAnswerFrame(id, counter, answer.type, answer.items));
  return segments;
}

std::vector<uint8_t> WriteAsyncMessage(uint8_t code) {
  return {0xFB, code, 0x00, 0x00, 0x00};
}

}  // namespace vexo3::sim
