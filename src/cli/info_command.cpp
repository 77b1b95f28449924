// vexo3 info: "Read device info", the report exactly as the dialog shows it.

#include "cli/commands.h"
#include "cli/device_choice.h"
#include "cli/json_output.h"
#include "cli/output.h"
#include "protocol/device_session.h"
#include "ui/core/device_report.h"
#include "ui/core/update_engine.h"

namespace vexo3::cli {

int InfoCommand(const Options& o, const CliStreams& io, DeviceSource& source) {
  DeviceChoice found;
  if (auto code = ChooseOneDevice(o, io, source.d2xx(), &found))
    return *code;
  DeviceSession session(source.d2xx(), source.clock());
  if (found.serial && session.link)
    session.link->SetSerialFilter(*found.serial);
  DeviceReportRecords records;
  const ResultCode r = QueryDevice(session, &records);
  if (r != kOk) {
    // With no device at all, "no HandController found" says it better.
    if (found.choice.kind != Choice::Kind::None)
      PrintErr(io, "ERROR: " + TerminalText(DeviceErrorText(r)) + "\n");
    session.CloseSession();
    return DeviceFailure(io, found);
  }
  if (o.json)
    PrintJson(io, DeviceRecordsJson(records));
  else
    PrintOut(io, BuildDeviceReport(records));
  return kExitOk;
}

}  // namespace vexo3::cli
