#pragma once

// What the web page holds: the dialog's package and window, and its device
// side (the Web Serial backend on the page's serial ports, a wire trace
// around it from the first call, the session). The page's script calls the
// actions through the exports in page.cpp; each runs to its end, one at a
// time, with awaits wherever it waits.

#include <memory>
#include <sstream>
#include <string>

#include "firmware/firmware_package.h"
#include "link/trace_d2xx.h"
#include "link/webserial_d2xx.h"
#include "protocol/device_session.h"
#include "ui/core/sivra_actions.h"
#include "ui/web/web_clock.h"
#include "ui/web/web_window.h"

namespace vexo3 {

class WebPage {
 public:
  // link: the page's WebSerialLink (webserial_d2xx.h).
  explicit WebPage(int link);
  ~WebPage();
  WebPage(const WebPage&) = delete;
  WebPage& operator=(const WebPage&) = delete;

  // Another device side on link (another simulated device): the old session
  // is closed, the package and the window stay, the trace starts again.
  void Connect(int link);

  SivraActions Actions() { return SivraActions(*session_, package_, window_); }
  // Before the first action that talks to the device: the port list, read
  // once as vexo3 reads it before its session, so that a trace of the
  // page's first action replays with vexo3 --replay.
  void ListOnce();
  // Closes the session (the next action connects again).
  void Close() { session_->CloseSession(); }
  // The wire trace since the device side was made, in the --trace format.
  std::string Trace() const { return trace_.str(); }

 private:
  PageClock clock_;
  FirmwarePackage package_;
  WebMainWindow window_;
  std::unique_ptr<WebSerialD2xx> backend_;
  std::ostringstream trace_;
  std::unique_ptr<TraceD2xx> tracer_;
  std::unique_ptr<DeviceSession> session_;
  bool listed_ = false;
};

}  // namespace vexo3
