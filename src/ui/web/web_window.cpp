#include "ui/web/web_window.h"

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <cstdlib>

// The page's side of each call (page.js). Texts go both ways as UTF-8; a
// text the page returns was allocated with malloc and is freed here.
// clang-format off
EM_ASYNC_JS(int, vexo3_page_message_box, (const char* caption, const char* text, int error, int yesNo), {
  return await Module.vexo3Page.messageBox(UTF8ToString(caption), UTF8ToString(text), !!error, !!yesNo);
});
EM_JS(void, vexo3_page_set_status, (const char* text), {
  Module.vexo3Page.setStatus(UTF8ToString(text));
});
EM_JS(void, vexo3_page_enable, (int control, int enabled), {
  Module.vexo3Page.enable(control, !!enabled);
});
EM_JS(int, vexo3_page_checked, (int box), {
  return Module.vexo3Page.checked(box) ? 1 : 0;
});
EM_JS(char*, vexo3_page_file_text, (), {
  return vexo3NewUTF8(Module.vexo3Page.fileText());
});
EM_JS(void, vexo3_page_set_file_text, (const char* text), {
  Module.vexo3Page.setFileText(UTF8ToString(text));
});
EM_ASYNC_JS(char*, vexo3_page_choose_file, (), {
  const name = await Module.vexo3Page.chooseFile();
  return name === null ? 0 : vexo3NewUTF8(name);
});
EM_JS(void, vexo3_page_set_summary, (const char* text), {
  Module.vexo3Page.setSummary(UTF8ToString(text));
});
EM_ASYNC_JS(void, vexo3_page_show_report, (const char* text), {
  await Module.vexo3Page.showReport(UTF8ToString(text));
});
EM_JS(void, vexo3_page_update_start, (), {
  Module.vexo3Page.updateStart();
});
EM_JS(void, vexo3_page_progress, (int unit, double done, double total), {
  Module.vexo3Page.progress(unit, done, total);
});
EM_JS(void, vexo3_page_update_end, (int failedUnit), {
  Module.vexo3Page.updateEnd(failedUnit);
});
// clang-format on

namespace vexo3 {

namespace {

std::string Take(char* text) {
  std::string s = text != nullptr ? text : "";
  std::free(text);
  return s;
}

}  // namespace

MessageAnswer WebMainWindow::ShowMessageBox(const std::string& caption, const std::string& text,
                                            MessageIcon icon, MessageButtons buttons) {
  const bool yesNo = buttons == MessageButtons::YesNo;
  const int yes =
      vexo3_page_message_box(caption.c_str(), text.c_str(), icon == MessageIcon::Error, yesNo);
  if (!yesNo)
    return MessageAnswer::Ok;
  return yes != 0 ? MessageAnswer::Yes : MessageAnswer::No;
}

void WebMainWindow::SetStatusText(const std::string& text) {
  vexo3_page_set_status(text.c_str());
}

void WebMainWindow::SetControlEnabled(DialogControl control, bool enabled) {
  vexo3_page_enable(static_cast<int>(control), enabled);
}

bool WebMainWindow::IsChecked(DialogCheckBox box) {
  return vexo3_page_checked(static_cast<int>(box)) != 0;
}

std::string WebMainWindow::FirmwareFileText() {
  return Take(vexo3_page_file_text());
}

void WebMainWindow::SetFirmwareFileText(const std::string& text) {
  vexo3_page_set_file_text(text.c_str());
}

std::optional<std::string> WebMainWindow::ChooseFirmwareFile() {
  char* name = vexo3_page_choose_file();
  if (name == nullptr)
    return std::nullopt;
  return Take(name);
}

void WebMainWindow::SetSummaryText(const std::string& text) {
  vexo3_page_set_summary(text.c_str());
}

void WebMainWindow::ShowDeviceReport(const std::string& report) {
  vexo3_page_show_report(report.c_str());
}

// The browser paints between the awaits of an action.
void WebMainWindow::Redraw() {}

void WebMainWindow::ShowUpdateStart() {
  vexo3_page_update_start();
}

void WebMainWindow::ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) {
  vexo3_page_progress(static_cast<int>(unit), static_cast<double>(bytesDone),
                      static_cast<double>(bytesTotal));
}

void WebMainWindow::ShowUpdateEnd(const UpdateOutcome& outcome) {
  const std::optional<Unit> failed = outcome.FailedUnit();
  vexo3_page_update_end(failed ? static_cast<int>(*failed) : -1);
}

}  // namespace vexo3
