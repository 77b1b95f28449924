#pragma once

#include <cstdint>

namespace vexo3 {

// Outcome of every protocol, device and user-interface operation: 0 is
// success, every other value names one failure. Operations return it and
// stop at the first non-zero step, passing that code on unchanged.
using ResultCode = int32_t;

// The codes by name; the numbers are fixed (they are shown to users and kept
// in traces and logs).
// NB: Remember to add a new code to kAllResultCodes and to the message table.
inline constexpr ResultCode kOk = 0;
inline constexpr ResultCode kInvalidHandle = -1;
inline constexpr ResultCode kCanNotOpenDevice = 1;
inline constexpr ResultCode kNoLinkObject = 2;
inline constexpr ResultCode kOutOfMemory = 3;
inline constexpr ResultCode kCommunicationError = 9;
inline constexpr ResultCode kInvalidCommandCode = 10;
inline constexpr ResultCode kCommandTooLong = 11;
inline constexpr ResultCode kModeChanged = 12;
inline constexpr ResultCode kPoweredOff = 13;
inline constexpr ResultCode kUnknownAsyncMessage = 14;
inline constexpr ResultCode kInvalidAnswer = 30;
inline constexpr ResultCode kWrongAnswerId = 31;
inline constexpr ResultCode kWrongCounter = 32;
inline constexpr ResultCode kUnknownAnswerType = 33;
inline constexpr ResultCode kAnswerTooShort = 34;
inline constexpr ResultCode kHandshakeFailed = 35;
inline constexpr ResultCode kCounterMismatch = 50;
inline constexpr ResultCode kUnknownParameter = 51;
inline constexpr ResultCode kTooManyParameters = 52;
inline constexpr ResultCode kTooManyBytesSent = 53;
inline constexpr ResultCode kTooFewBytesReceived = 54;
inline constexpr ResultCode kTooManyBytesReceived = 55;
inline constexpr ResultCode kUnknownAnswerParameter = 56;
inline constexpr ResultCode kNoAnswerParameter = 57;
inline constexpr ResultCode kBadParameterLength = 58;
inline constexpr ResultCode kCantExecute = 66;
inline constexpr ResultCode kEmbeddedFunctionRunning = 70;
inline constexpr ResultCode kVariableSizeMismatch = 75;
inline constexpr ResultCode kVariableNotFound = 76;
inline constexpr ResultCode kVariableChangeProhibited = 77;
inline constexpr ResultCode kNeedsBootMode = 90;
inline constexpr ResultCode kByteCountMismatch = 100;
inline constexpr ResultCode kUpdateInternalFault = 101;
inline constexpr ResultCode kUpdateProhibited = 102;
inline constexpr ResultCode kUpdateFailed = 104;
inline constexpr ResultCode kCameraStartFailed = 106;
inline constexpr ResultCode kNoSpaceForFirmware = 107;
inline constexpr ResultCode kWrongArgument = 200;
inline constexpr ResultCode kCommandNotSupported = 201;
inline constexpr ResultCode kParameterNotSupported = 202;
inline constexpr ResultCode kWrongParameterSize = 203;
inline constexpr ResultCode kMessageOverrun = 204;
inline constexpr ResultCode kClipboardError = 901;
inline constexpr ResultCode kBitmapError = 902;

// Every named code, in the message table's order.
inline constexpr ResultCode kAllResultCodes[] = {
    kOk,
    kInvalidHandle,
    kCanNotOpenDevice,
    kNoLinkObject,
    kOutOfMemory,
    kCommunicationError,
    kInvalidCommandCode,
    kCommandTooLong,
    kModeChanged,
    kPoweredOff,
    kUnknownAsyncMessage,
    kInvalidAnswer,
    kWrongAnswerId,
    kWrongCounter,
    kUnknownAnswerType,
    kAnswerTooShort,
    kHandshakeFailed,
    kCounterMismatch,
    kUnknownParameter,
    kTooManyParameters,
    kTooManyBytesSent,
    kTooFewBytesReceived,
    kTooManyBytesReceived,
    kUnknownAnswerParameter,
    kNoAnswerParameter,
    kBadParameterLength,
    kCantExecute,
    kEmbeddedFunctionRunning,
    kVariableSizeMismatch,
    kVariableNotFound,
    kVariableChangeProhibited,
    kNeedsBootMode,
    kByteCountMismatch,
    kUpdateInternalFault,
    kUpdateProhibited,
    kUpdateFailed,
    kCameraStartFailed,
    kNoSpaceForFirmware,
    kWrongArgument,
    kCommandNotSupported,
    kParameterNotSupported,
    kWrongParameterSize,
    kMessageOverrun,
    kClipboardError,
    kBitmapError,
};

// The fixed English message of a code; "(unknown error code)" for a value
// not in the table. The text has static lifetime; never null. No allocation,
// no state: safe to call from anywhere.
const char* ResultText(ResultCode code);

}  // namespace vexo3
