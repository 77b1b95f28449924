#pragma once

#include <cstdint>

#include "device/device_records.h"
#include "protocol/device_session.h"

namespace vexo3 {

// HandController queries. Each is one command and one answer; the session is
// opened on demand by SendCommand. Null outputs are skipped.
// Results: codes of the exchange, kNoAnswerParameter (57) expected answer
// parameter absent, kBadParameterLength (58) its length byte is wrong.

// Command 248 parameter 1; answer parameter 3 (BOOT mode, wins) or 1 (APP).
ResultCode ReadDeviceMode(DeviceSession& session, int32_t* bootMode, uint16_t* protocolVersion,
                          uint16_t* protocolVersion2);
// Command 248 parameter 16: idWords (2 x u32) and 16 raw unique-id bytes.
ResultCode ReadUniqueId(DeviceSession& session, uint32_t* idWords, uint8_t* uniqueIdBytes);
// Command 248 parameter 17: the PCB version byte.
ResultCode ReadPcbId(DeviceSession& session, uint8_t* hardwareId);
// Command 248 parameter 209: 32 bytes into text; the last becomes NUL, and a
// first byte of 0xFF becomes NUL. A null text is kWrongArgument, with
// nothing sent.
ResultCode ReadDeviceText(DeviceSession& session, uint8_t* text);
// Command 247 parameter 16: the firmware record (49 bytes) or a status alone
// (1 byte). info may be null. A status other than 0 is stored alone; a status
// 0 without a record zeroes the other fields.
ResultCode ReadFirmwareInfo(DeviceSession& session, FirmwareInfo* info);
// Mode, unique id, PCB id, chip serial and description, device text, in that
// order; stops at the first failure.
ResultCode ReadDeviceState(DeviceSession& session, DeviceState& state);

// HandController firmware upload (BOOT mode only, else kNeedsBootMode): open
// with startCode, start, poll for readiness, send data in chunks of at most
// 4,096 bytes straight from the caller's buffer, end. data may be null (or
// length <= 0): then only open, start, wait and EndUpdate. The readiness
// wait gives up with kUpdateFailed after 60 s on the session's clock.
// progress, when given, hears of each chunk the unit took, and of the whole
// image only when the unit reports it complete; its StopRequested ends the
// upload with kUpdateFailed between two chunks. Changes no time-outs.
// Results beyond the exchange's: kNeedsBootMode (90), kByteCountMismatch
// (100), kUpdateInternalFault (101), kUpdateProhibited (102), kUpdateFailed
// (104), kNoSpaceForFirmware (107).
ResultCode UploadHcFirmware(DeviceSession& session, const uint8_t* data, int32_t length,
                            uint16_t startCode, ProgressObserver* progress = nullptr);
// Ends the unit's update procedure (command 247 parameter 143).
ResultCode EndUpdate(DeviceSession& session);

}  // namespace vexo3
