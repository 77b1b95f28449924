#include "protocol/result_code.h"

#include <cstddef>
#include <iterator>

namespace vexo3 {
namespace {

struct MessageRow {
  ResultCode code;
  const char* text;
};

// NB: The order is the scan order of ResultText; -1 follows 0 on purpose.
constexpr MessageRow kMessages[] = {
    {kOk, "OK"},
    {kInvalidHandle, "Invalid handle is given for the C API function"},
    {kCanNotOpenDevice, "Can not open device"},
    {kNoLinkObject, "FTDI handle/object is not created"},
    {kOutOfMemory, "Out of memory"},
    {kCommunicationError, "Error in communication (FT230)"},
    {kInvalidCommandCode, "Invalid VX3 command code"},
    {kCommandTooLong, "VX3 command is too long"},
    {kModeChanged, "Device mode has been changed"},
    {kPoweredOff, "Device has been powered off"},
    {kUnknownAsyncMessage, "Device has sent an unknown async. message code, error"},
    {kInvalidAnswer, "Invalid answer got for VX3 command"},
    {kWrongAnswerId, "Wrong answer ID received for VX3 command"},
    {kWrongCounter, "Wrong counter value received for VX3 command"},
    {kUnknownAnswerType, "Unknown answer type received for VX3 command"},
    {kAnswerTooShort, "Too short answer for VX3 command"},
    {kHandshakeFailed, "Failed to read protocol version at initialization"},
    {kCounterMismatch, "VX3 cmd. counter value mismatch"},
    {kUnknownParameter, "Unknown parameter"},
    {kTooManyParameters, "Too many parameters"},
    {kTooManyBytesSent, "Too many bytes sent"},
    {kTooFewBytesReceived, "Too few bytes received"},
    {kTooManyBytesReceived, "Too many bytes received"},
    {kUnknownAnswerParameter, "Unknown answer parameter"},
    {kNoAnswerParameter, "No answer parameter got"},
    {kBadParameterLength, "Bad length of a parameter in the answer"},
    {kCantExecute, "Can't execute command on device"},
    {kEmbeddedFunctionRunning, "An embedded function is being executed"},
    {kVariableSizeMismatch, "Variable size mismatch"},
    {kVariableNotFound, "Variable not found"},
    {kVariableChangeProhibited, "Change of the Variable is prohibited now"},
    {kNeedsBootMode, "The function requires BOOT mode"},
    {kByteCountMismatch, "Update has been done but fw. byte count mismatch was detected"},
    {kUpdateInternalFault, "Internal fault in Update procedure"},
    {kUpdateProhibited, "Update is prohibited"},
    {kUpdateFailed, "Update has failed"},
    {kCameraStartFailed, "Failed to start Camera for updating"},
    {kNoSpaceForFirmware, "No space for firmware"},
    {kWrongArgument, "Wrong argument given for an API function"},
    {kCommandNotSupported, "Command code is not supported by the device firmware"},
    {kParameterNotSupported, "Parameter for Command is not supported by the device firmware"},
    {kWrongParameterSize, "Wrong parameter size given for the device firmware"},
    {kMessageOverrun, "Message size has overrun"},
    {kClipboardError, "Can't access Windows' clipboard"},
    {kBitmapError, "Bitmap error during the operation"},
};

// The name table and the text table cover the same codes, in the same order.
constexpr bool SameCodes() {
  if (std::size(kMessages) != std::size(kAllResultCodes))
    return false;
  for (size_t i = 0; i < std::size(kMessages); ++i) {
    if (kMessages[i].code != kAllResultCodes[i])
      return false;
  }
  return true;
}
static_assert(SameCodes(), "every named ResultCode needs a message, and every message a name");

}  // namespace

const char* ResultText(ResultCode code) {
  for (const MessageRow& row : kMessages) {
    if (row.code == code)
      return row.text;
  }
  return "(unknown error code)";
}

}  // namespace vexo3
