#include "sim/units/update_procedure.h"

namespace vexo3::sim {

FirmwareConfig StatusOnly(uint8_t status) {
  FirmwareConfig fw;
  fw.status = status;
  return fw;
}

uint64_t FlashDigest(std::span<const uint8_t> bytes) {
  uint64_t h = 14695981039346656037ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

void UpdateProcedure::Reset() {
  opened_ = started_ = chunkReceived_ = complete_ = mismatch_ = false;
  header_.reset();
  previous_.reset();
}

void UpdateProcedure::Open() {
  Reset();
  opened_ = true;
}

bool UpdateProcedure::Start() {
  if (!opened_ || config_.refuseStart)
    return false;
  started_ = true;
  pollsLeft_ = config_.notReadyPolls;
  return true;
}

uint8_t UpdateProcedure::Poll() {
  if (!started_)
    return kStatusNotStarted;
  if (config_.noSpace)
    return kStatusNoSpace;
  if (pollsLeft_ > 0) {
    --pollsLeft_;
    return kStatusNotReady;
  }
  return kStatusOk;
}

uint8_t UpdateProcedure::TakeChunk(std::span<const uint8_t> data, bool ready) {
  if (!ready)
    return kStatusNotStarted;
  if (complete_) {
    mismatch_ = true;
    return kStatusCountMismatch;
  }
  if (!chunkReceived_) {
    chunkReceived_ = true;
    previous_ = firmware_;
    firmware_ = StatusOnly(kFirmwareAbsent);
    flash_.clear();
    loadedDigest_.reset();
    header_ = ParseSimImage(data);
  }
  flash_.insert(flash_.end(), data.begin(), data.end());
  if (header_) {
    if (flash_.size() < header_->length)
      return kStatusOk;
    complete_ = true;
    mismatch_ = flash_.size() > header_->length;
    return mismatch_ ? kStatusCountMismatch : kStatusComplete;
  }
  if (data.size() < kSimChunkSize) {
    complete_ = true;
    return kStatusComplete;
  }
  return kStatusOk;
}

void UpdateProcedure::End() {
  if (!opened_)
    return;
  if (chunkReceived_) {
    // Only an image the unit itself called complete (status 13) counts.
    const bool good = complete_ && !mismatch_;
    if (!good) {
      firmware_ = StatusOnly(kFirmwareChecksumError);
    } else {
      FirmwareConfig fw = previous_.value_or(FirmwareConfig{});
      fw.status = 0;
      if (header_) {
        fw.flags = header_->flags;
        fw.version = header_->version;
        fw.description = header_->description;
      }
      fw.sizeBlocks = static_cast<uint32_t>((flash_.size() + 511) / 512);
      firmware_ = fw;
    }
  }
  Reset();
}

uint64_t UpdateProcedure::Digest() const {
  return loadedDigest_ ? *loadedDigest_ : FlashDigest(flash_);
}

UnitFirmwareState UpdateProcedure::Save() const {
  UnitFirmwareState s;
  s.firmware = firmware_;
  s.flashSize = loadedDigest_ ? loadedSize_ : static_cast<uint32_t>(flash_.size());
  s.flashDigest = Digest();
  return s;
}

void UpdateProcedure::Load(const UnitFirmwareState& state) {
  firmware_ = state.firmware;
  flash_.clear();
  loadedDigest_ = state.flashDigest;
  loadedSize_ = state.flashSize;
}

}  // namespace vexo3::sim
