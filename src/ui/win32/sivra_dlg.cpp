#include "ui/win32/sivra_dlg.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdint>
#include <functional>

#include "platform/console.h"
#include "ui/win32/devinfo_dlg.h"
#include "ui/win32/resource.h"

namespace vexo3 {
namespace {

// The progress strip, in dialog units: under the status text, as wide as
// the template's content; the dialog grows to hold it.
constexpr RECT kProgressStrip = {7, 150, 7 + 285, 150 + 9};
constexpr int kGrownHeight = 150 + 9 + 5;

// Flags of the file chooser: hide read-only, path and file must exist,
// Explorer style, long names, sizable.
constexpr DWORD kOpenFileFlags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                                 OFN_EXPLORER | OFN_LONGNAMES | OFN_ENABLESIZING;
static_assert(kOpenFileFlags == 0xA81804);

// A paint message that no window validates would come back for ever.
constexpr int kMaxMessagesPerKind = 64;

// Sent by the worker: run the std::function<void()> at lParam on the
// dialog's thread.
constexpr UINT kRunOnWindowThread = WM_APP + 1;

int ControlId(DialogControl control) {
  switch (control) {
    case DialogControl::BrowseButton:
      return IDC_BROWSE;
    case DialogControl::UpdateButton:
      return IDC_UPDATE;
    case DialogControl::FirmwareFileField:
      return IDC_FIRMWARE_FILE;
  }
  return 0;
}

// Per-monitor DPI functions of Windows 10 1607 and 1703, looked up at run
// time so the program still starts where they are missing (earlier
// Windows 10, wine). nullptr when absent.
template <typename F>
F User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  FARPROC p = user32 == nullptr ? nullptr : GetProcAddress(user32, name);
  return reinterpret_cast<F>(reinterpret_cast<void*>(p));
}

UINT DpiOf(HWND window) {
  if (auto getDpiForWindow = User32Function<decltype(&GetDpiForWindow)>("GetDpiForWindow")) {
    if (const UINT dpi = getDpiForWindow(window))
      return dpi;
  }
  HDC dc = GetDC(window);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(window, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

// On a change of DPI the dialog manager sizes the dialog and places its
// children by the template, which knows neither the strip nor the height
// added for it: those two are ours (OnDpiChanged). Windows 10 1703 and
// later; before, no dialog manager scales anything.
void KeepDialogManagerOffStrip(HWND dialog, HWND strip) {
  if (auto set =
          User32Function<decltype(&SetDialogDpiChangeBehavior)>("SetDialogDpiChangeBehavior"))
    set(dialog, DDC_DISABLE_RESIZE, DDC_DISABLE_RESIZE);
  if (auto set = User32Function<decltype(&SetDialogControlDpiChangeBehavior)>(
          "SetDialogControlDpiChangeBehavior"))
    set(strip, DCDC_DISABLE_RELAYOUT, DCDC_DISABLE_RELAYOUT);
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0)
    return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

}  // namespace

CSivraDlg::CSivraDlg(DeviceSession& session)
    : relay_(*this,
             [this](const std::function<void()>& call) {
               // Returns once the dialog's thread has run it.
               SendMessageW(hwnd_, kRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&call));
             }),
      actions_(session, package_, relay_) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  bigIcon_ = LoadIconW(instance, MAKEINTRESOURCEW(IDI_VEXO3_UPDATER));
  // The small icon from its own 16-pixel image rather than the big one shrunk.
  smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_VEXO3_UPDATER),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  if (smallIcon_ == nullptr)
    smallIcon_ = bigIcon_;
}

CSivraDlg::~CSivraDlg() {
  if (hwnd_ != nullptr)
    DestroyWindow(hwnd_);
}

void CSivraDlg::DoModal() {
  modal_ = true;
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SIVRA_DIALOG), nullptr,
                  DialogProc, reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
}

bool CSivraDlg::Create() {
  modal_ = false;
  return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SIVRA_DIALOG), nullptr,
                            DialogProc, reinterpret_cast<LPARAM>(this)) != nullptr;
}

INT_PTR CALLBACK CSivraDlg::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  CSivraDlg* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CSivraDlg*>(lParam);
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    self->hwnd_ = dialog;
  } else {
    self = reinterpret_cast<CSivraDlg*>(GetWindowLongPtrW(dialog, DWLP_USER));
  }
  if (self == nullptr)
    return FALSE;  // messages before WM_INITDIALOG
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR CSivraDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return TRUE;  // the dialog manager puts the focus on the first tab stop
    case WM_PAINT:
      return PaintIconic() ? TRUE : FALSE;
    case kRunOnWindowThread:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(bigIcon_);
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return FALSE;  // the dialog manager still re-lays the template's controls and fonts
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED)
        break;
      switch (LOWORD(wParam)) {
        case IDOK:      // Enter while no push button has the focus
        case IDCANCEL:  // Esc, the close box, the system menu
          Close(LOWORD(wParam));
          return TRUE;
        case IDC_BROWSE:
          BrowseFirmwareFile();
          return TRUE;
        case IDC_UPDATE:
          UpdateFirmware();
          return TRUE;
        case IDC_READ_INFO:
          ReadDeviceInfo();
          return TRUE;
        default:
          break;
      }
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
      hwnd_ = nullptr;
      progress_ = nullptr;
      break;
    default:
      break;
  }
  return FALSE;
}

void CSivraDlg::OnInitDialog() {
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
  SendDlgItemMessageW(hwnd_, IDC_HC_CHECK, BM_SETCHECK, BST_CHECKED, 0);
  SendDlgItemMessageW(hwnd_, IDC_CAMERA_CHECK, BM_SETCHECK, BST_CHECKED, 0);
  AddProgressStrip();

  // Centred on the screen's work area.
  RECT window;
  RECT work;
  GetWindowRect(hwnd_, &window);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  SetWindowPos(hwnd_, nullptr, work.left + std::max(0L, (work.right - work.left - width) / 2),
               work.top + std::max(0L, (work.bottom - work.top - height) / 2), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CSivraDlg::AddProgressStrip() {
  createdDpi_ = DpiOf(hwnd_);
  stripAtCreation_ = kProgressStrip;
  MapDialogRect(hwnd_, &stripAtCreation_);
  RECT grown = {0, 0, 0, kGrownHeight};
  MapDialogRect(hwnd_, &grown);
  heightAtCreation_ = grown.bottom;
  // Created after the template's controls, so it is last in z-order and
  // tab order; it takes no focus.
  progress_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0, 0,
                              0, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS)),
                              GetModuleHandleW(nullptr), nullptr);
  SendMessageW(progress_, PBM_SETRANGE32, 0, 1);
  SendMessageW(progress_, PBM_SETPOS, 0, 0);
  KeepDialogManagerOffStrip(hwnd_, progress_);
  LayOutStrip(createdDpi_);
}

void CSivraDlg::LayOutStrip(UINT dpi) {
  const auto scale = [&](int pixels) {
    return MulDiv(pixels, static_cast<int>(dpi), static_cast<int>(createdDpi_));
  };
  const RECT& at = stripAtCreation_;
  SetWindowPos(progress_, nullptr, scale(at.left), scale(at.top), scale(at.right) - scale(at.left),
               scale(at.bottom) - scale(at.top), SWP_NOZORDER | SWP_NOACTIVATE);

  const int height = scale(heightAtCreation_);
  RECT client;
  GetClientRect(hwnd_, &client);
  if (height > client.bottom) {
    RECT window;
    GetWindowRect(hwnd_, &window);
    SetWindowPos(hwnd_, nullptr, 0, 0, window.right - window.left,
                 window.bottom - window.top + height - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CSivraDlg::OnDpiChanged(UINT dpi, const RECT& suggested) {
  if (dpi == 0 || progress_ == nullptr)
    return;
  SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LayOutStrip(dpi);
}

bool CSivraDlg::PaintIconic() {
  if (!IsIconic(hwnd_))
    return false;  // the dialog paints itself
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, bigIcon_);
  EndPaint(hwnd_, &paint);
  return true;
}

void CSivraDlg::Close(int result) {
  if (busy() || hwnd_ == nullptr)
    return;  // the window stays until the running action ends
  if (modal_) {
    EndDialog(hwnd_, result);
  } else {
    DestroyWindow(hwnd_);
  }
}

template <typename F>
void CSivraDlg::RunAction(F&& action) {
  if (busy() || hwnd_ == nullptr)
    return;  // no action starts inside another
  HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ended == nullptr)
    return;
  // Disabling the focused control takes the focus away, and boxes take it
  // too: put it back where the user left it.
  HWND focus = GetFocus();
  actionThread_.Run(
      action, [ended] { SetEvent(ended); }, [&](const auto&) { WaitAnswering(ended); });
  CloseHandle(ended);
  if (hwnd_ != nullptr && focus != nullptr && IsChild(hwnd_, focus) && IsWindowEnabled(focus) &&
      GetFocus() != focus) {
    SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
  }
}

void CSivraDlg::BrowseFirmwareFile() {
  RunAction([this] { actions_.BrowseFirmwareFile(); });
}
void CSivraDlg::UpdateFirmware() {
  RunAction([this] { actions_.UpdateFirmware(); });
}
void CSivraDlg::ReadDeviceInfo() {
  RunAction([this] { actions_.ReadDeviceInfo(); });
}
void CSivraDlg::LoadSelectedPackage() {
  RunAction([this] { actions_.LoadSelectedPackage(); });
}

void CSivraDlg::WaitAnswering(HANDLE ended) {
  // Wakes for sent messages, paints and timers only; a posted click stays
  // queued (and doesn't wake the loop again once looked at). The time-out
  // is a backstop for a paint that never gets validated.
  constexpr ::DWORD kWakeOn = QS_SENDMESSAGE | QS_PAINT | QS_TIMER;
  for (;;) {
    const ::DWORD woke = MsgWaitForMultipleObjectsEx(1, &ended, 100, kWakeOn, 0);
    if (woke == WAIT_OBJECT_0)
      return;
    KeepAlive();
  }
}

void CSivraDlg::KeepAlive() {
  MSG msg;
  for (int i = 0;
       i < kMaxMessagesPerKind && PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++i) {
    DispatchMessageW(&msg);
  }
  for (int i = 0;
       i < kMaxMessagesPerKind && PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE); ++i) {
    DispatchMessageW(&msg);
  }
}

MessageAnswer CSivraDlg::ShowMessageBox(const std::string& caption, const std::string& text,
                                        MessageIcon icon, MessageButtons buttons) {
  // Error: MB_ICONHAND | MB_OK (0x10); warning question: MB_ICONEXCLAMATION | MB_YESNO (0x34).
  UINT style = icon == MessageIcon::Error ? MB_ICONHAND : MB_ICONEXCLAMATION;
  style |= buttons == MessageButtons::YesNo ? MB_YESNO : MB_OK;
  const int answer =
      MessageBoxW(hwnd_, WideFromUtf8(text).c_str(), WideFromUtf8(caption).c_str(), style);
  if (buttons == MessageButtons::Ok)
    return MessageAnswer::Ok;
  return answer == IDYES ? MessageAnswer::Yes : MessageAnswer::No;
}

void CSivraDlg::ShowUpdateStart() {
  // A new run: nothing of the last one's bytes may show.
  progressUnit_.reset();
  SendMessageW(progress_, PBM_SETSTATE, PBST_NORMAL, 0);
  SendMessageW(progress_, PBM_SETRANGE32, 0, 1);
  SendMessageW(progress_, PBM_SETPOS, 0, 0);
}

void CSivraDlg::ShowUpdateEnd(const UpdateOutcome& outcome) {
  if (outcome.end != UpdateStage::Failed)
    return;
  // The strip, in the error colour, shows the unit that failed and what it
  // took, not the last unit that moved it.
  if (const std::optional<Unit> failed = outcome.FailedUnit())
    ShowUploadProgress(*failed, outcome.unit(*failed).bytesDone, outcome.unit(*failed).bytesTotal);
  SendMessageW(progress_, PBM_SETSTATE, PBST_ERROR, 0);
}

void CSivraDlg::SetStatusText(const std::string& text) {
  HWND status = Control(IDC_STATUS);
  SetWindowTextW(status, WideFromUtf8(text).c_str());
  UpdateWindow(status);  // the action blocks the loop that would paint it
}

void CSivraDlg::SetControlEnabled(DialogControl control, bool enabled) {
  EnableWindow(Control(ControlId(control)), enabled ? TRUE : FALSE);
}

bool CSivraDlg::IsChecked(DialogCheckBox box) {
  const int id = box == DialogCheckBox::HandController ? IDC_HC_CHECK : IDC_CAMERA_CHECK;
  return IsDlgButtonChecked(hwnd_, id) == BST_CHECKED;
}

std::string CSivraDlg::FirmwareFileText() {
  return Utf8FromWide(WindowText(Control(IDC_FIRMWARE_FILE)));
}

void CSivraDlg::SetFirmwareFileText(const std::string& text) {
  SetDlgItemTextW(hwnd_, IDC_FIRMWARE_FILE, WideFromUtf8(text).c_str());
}

std::optional<std::string> CSivraDlg::ChooseFirmwareFile() {
  // Room for long paths; the chooser says so when a choice doesn't fit.
  std::wstring path(32768, L'\0');
  OPENFILENAMEW open = {};
  open.lStructSize = sizeof open;
  open.hwndOwner = hwnd_;
  open.lpstrFilter = L"Vexo-3 firmware files (*.bin)\0*.bin\0";
  open.nFilterIndex = 1;
  open.lpstrFile = path.data();
  open.nMaxFile = static_cast<DWORD>(path.size());
  open.Flags = kOpenFileFlags;
  open.lpstrDefExt = L"bin";
  if (!GetOpenFileNameW(&open))
    return std::nullopt;
  path.resize(wcsnlen(path.c_str(), path.size()));
  return Utf8FromWide(path);
}

void CSivraDlg::SetSummaryText(const std::string& text) {
  SetDlgItemTextW(hwnd_, IDC_SUMMARY, WideFromUtf8(text).c_str());
}

void CSivraDlg::ShowDeviceReport(const std::string& report) {
  ShowDevinfoDialog(hwnd_, WideFromUtf8(report));
}

void CSivraDlg::Redraw() {
  RedrawWindow(hwnd_, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void CSivraDlg::ShowUploadProgress(Unit unit, uint64_t bytesDone, uint64_t bytesTotal) {
  progressUnit_ = unit;
  // Images are at most 2 MiB, so the counts fit the bar's 32-bit range.
  const auto total = static_cast<int>(std::clamp<uint64_t>(bytesTotal, 1, INT32_MAX));
  const auto done = static_cast<int>(std::min<uint64_t>(bytesDone, static_cast<uint64_t>(total)));
  SendMessageW(progress_, PBM_SETRANGE32, 0, total);
  SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(done), 0);
  UpdateWindow(progress_);
}

}  // namespace vexo3
