#include "protocol/result_code.h"

namespace vexo3 {
namespace {

struct MessageRow {
  ResultCode code;
  const char* text;
};

// NB: The order is the scan order of ResultText; -1 follows 0 on purpose.
constexpr MessageRow kMessages[] = {
    {0, "OK"},
    {-1, "Invalid handle is given for the C API function"},
    {1, "Can not open device"},
    {2, "FTDI handle/object is not created"},
    {3, "Out of memory"},
    {9, "Error in communication (FT230)"},
    {10, "Invalid VX3 command code"},
    {11, "VX3 command is too long"},
    {12, "Device mode has been changed"},
    {13, "Device has been powered off"},
    {14, "Device has sent an unknown async. message code, error"},
    {30, "Invalid answer got for VX3 command"},
    {31, "Wrong answer ID received for VX3 command"},
    {32, "Wrong counter value received for VX3 command"},
    {33, "Unknown answer type received for VX3 command"},
    {34, "Too short answer for VX3 command"},
    {35, "Failed to read protocol version at initialization"},
    {50, "VX3 cmd. counter value mismatch"},
    {51, "Unknown parameter"},
    {52, "Too many parameters"},
    {53, "Too many bytes sent"},
    {54, "Too few bytes received"},
    {55, "Too many bytes received"},
    {56, "Unknown answer parameter"},
    {57, "No answer parameter got"},
    {58, "Bad length of a parameter in the answer"},
    {66, "Can't execute command on device"},
    {70, "An embedded function is being executed"},
    {75, "Variable size mismatch"},
    {76, "Variable not found"},
    {77, "Change of the Variable is prohibited now"},
    {90, "The function requires BOOT mode"},
    {100, "Update has been done but fw. byte count mismatch was detected"},
    {101, "Internal fault in Update procedure"},
    {102, "Update is prohibited"},
    {104, "Update has failed"},
    {106, "Failed to start Camera for updating"},
    {107, "No space for firmware"},
    {200, "Wrong argument given for an API function"},
    {201, "Command code is not supported by the device firmware"},
    {202, "Parameter for Command is not supported by the device firmware"},
    {203, "Wrong parameter size given for the device firmware"},
    {204, "Message size has overrun"},
    {901, "Can't access Windows' clipboard"},
    {902, "Bitmap error during the operation"},
};

}  // namespace

const char* ResultText(ResultCode code) {
  for (const MessageRow& row : kMessages) {
    if (row.code == code)
      return row.text;
  }
  return "(unknown error code)";
}

}  // namespace vexo3
