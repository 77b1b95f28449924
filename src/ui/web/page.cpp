#include "ui/web/page.h"

#include <emscripten/emscripten.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace vexo3 {

WebPage::WebPage(int link) {
  Connect(link);
}

WebPage::~WebPage() {
  session_.reset();  // its link closes through the trace and the backend
}

void WebPage::Connect(int link) {
  if (session_)
    session_->CloseSession();
  session_.reset();
  tracer_.reset();
  backend_.reset();
  trace_.str("");
  trace_.clear();
  backend_ = std::make_unique<WebSerialD2xx>(link);
  tracer_ = std::make_unique<TraceD2xx>(*backend_, clock_, trace_);
  session_ = std::make_unique<DeviceSession>(*tracer_, clock_);
  listed_ = false;
}

void WebPage::ListOnce() {
  if (listed_ || !session_->link)
    return;
  listed_ = true;
  std::vector<FtdiDevice::ChipRecord> chips;
  session_->link->ListChips(&chips);
}

}  // namespace vexo3

// The page's script (page.js) calls these; those that may wait are called
// with ccall's async option.
extern "C" {

EMSCRIPTEN_KEEPALIVE vexo3::WebPage* vexo3_page_new(int link) {
  return new vexo3::WebPage(link);
}

EMSCRIPTEN_KEEPALIVE void vexo3_page_connect(vexo3::WebPage* page, int link) {
  page->Connect(link);
}

// "Read device info": the failed query's code, or 0.
EMSCRIPTEN_KEEPALIVE int vexo3_page_read_device_info(vexo3::WebPage* page) {
  page->ListOnce();
  return page->Actions().ReadDeviceInfo();
}

// "...": choose a package, load it, show its summary.
EMSCRIPTEN_KEEPALIVE void vexo3_page_browse(vexo3::WebPage* page) {
  page->Actions().BrowseFirmwareFile();
}

// "Update firmwares": 1 when it succeeded, 0 otherwise.
EMSCRIPTEN_KEEPALIVE int vexo3_page_update(vexo3::WebPage* page) {
  page->ListOnce();
  return page->Actions().UpdateFirmware().Succeeded() ? 1 : 0;
}

// Closes the session, as a program ends, so that a trace saved next ends
// where vexo3's run of the same action would; the next action connects
// again.
EMSCRIPTEN_KEEPALIVE void vexo3_page_close(vexo3::WebPage* page) {
  page->Close();
}

// The trace so far, as a new zero-terminated text for the caller to free.
EMSCRIPTEN_KEEPALIVE char* vexo3_page_trace(vexo3::WebPage* page) {
  const std::string text = page->Trace();
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr)
    std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // extern "C"
