// The Win32 dialogs, driven through their controls against the simulated
// device: every control against the documented template, the tab order, the
// keys that close the dialog, the boxes, the file chooser, an update with its
// progress strip, the report dialog. Runs under wine in CI.

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "sim/bus/sim_bus.h"
#include "sim/units/package_writer.h"
#include "sim/units/sim_image.h"
#include "support/fixtures.h"
#include "support/sim_rig.h"
#include "ui/core/package_summary.h"
#include "ui/core/updater_options.h"
#include "ui/dialog_scenarios.h"
#include "ui/dialog_templates.h"
#include "ui/win32/resource.h"
#include "ui/win32/sivra_dlg.h"

namespace vexo3 {
namespace {

namespace ds = dialog_scenario;
namespace dt = dialog_template;
namespace fs = std::filesystem;
using test::UpdatableConfig;

// The message box's own controls (the same ids in wine and Windows for the
// text; the icon's id differs).
constexpr int kBoxTextId = 0xFFFF;
constexpr int kBoxIconIds[] = {0x440, 20};

std::string Text(HWND window) {
  wchar_t buffer[4096] = {};
  GetWindowTextW(window, buffer, 4096);
  return Utf8FromWide(buffer);
}

std::string ClassOf(HWND window) {
  wchar_t buffer[64] = {};
  GetClassNameW(window, buffer, 64);
  return Utf8FromWide(buffer);
}

// Runs the thread's messages for a while, as the program's loop would.
void Pump(HWND dialog, int ms = 30) {
  const ::DWORD start = GetTickCount();
  MSG msg;
  do {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (dialog == nullptr || !IsWindow(dialog) || !IsDialogMessageW(dialog, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    Sleep(1);
  } while (GetTickCount() - start < static_cast<::DWORD>(ms));
}

// A window that an action opens (box, chooser, report) runs its own modal
// loop; a thread timer finds it there and hands it to the test's script.
struct ModalWatch {
  HWND owner = nullptr;
  HWND handled = nullptr;
  int seen = 0;
  std::function<void(HWND)> script;
};
ModalWatch g_watch;

BOOL CALLBACK FindModal(HWND window, LPARAM found) {
  if (window != g_watch.owner && IsWindowVisible(window) && IsWindowEnabled(window) &&
      GetWindow(window, GW_OWNER) == g_watch.owner) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK WatchTick(HWND, UINT, UINT_PTR, ::DWORD) {
  static bool inside = false;
  if (inside || g_watch.owner == nullptr)
    return;
  inside = true;
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindModal, reinterpret_cast<LPARAM>(&found));
  if (found != nullptr && found != g_watch.handled) {
    g_watch.handled = found;
    ++g_watch.seen;
    std::function<void(HWND)> script = std::move(g_watch.script);
    g_watch.script = nullptr;
    if (script) {
      script(found);
    } else {
      ADD_FAILURE() << "unexpected window \"" << Text(found) << "\"";
      PostMessageW(found, WM_CLOSE, 0, 0);
    }
  }
  inside = false;
}

// What a message box shows.
struct Box {
  std::string caption;
  std::string text;
  HICON icon = nullptr;
  std::vector<int> buttons;  // visible ones, of IDOK, IDCANCEL, IDYES, IDNO
};

Box ReadBox(HWND box) {
  Box b;
  b.caption = Text(box);
  b.text = Text(GetDlgItem(box, kBoxTextId));
  for (int id : kBoxIconIds) {
    if (HWND icon = GetDlgItem(box, id))
      b.icon = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
  }
  for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
    HWND button = GetDlgItem(box, id);
    if (button != nullptr && IsWindowVisible(button))
      b.buttons.push_back(id);
  }
  return b;
}

void Press(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void Key(HWND target, UINT key) {
  PostMessageW(target, WM_KEYDOWN, key, 1);
  PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

// Pixels of a rectangle in the dialog's client area, in dialog units, for
// messages.
std::string InDialogUnits(HWND dialog, const RECT& px) {
  RECT base = {0, 0, 4, 8};
  MapDialogRect(dialog, &base);
  char out[96];
  std::snprintf(out, sizeof out, "%.1f, %.1f, %.1f x %.1f", px.left * 4.0 / base.right,
                px.top * 8.0 / base.bottom, (px.right - px.left) * 4.0 / base.right,
                (px.bottom - px.top) * 8.0 / base.bottom);
  return out;
}

RECT ClientRectOf(HWND dialog, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Style bits each kind of control must carry, beyond what the table says.
bool KindMatches(HWND control, dt::Kind kind) {
  const LONG style = GetWindowLongW(control, GWL_STYLE);
  const std::string cls = ClassOf(control);
  switch (kind) {
    case dt::Kind::Edit:
      return _stricmp(cls.c_str(), "Edit") == 0 && (style & ES_AUTOHSCROLL) != 0 &&
             ((style & WS_BORDER) != 0 ||
              (GetWindowLongW(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0);
    case dt::Kind::Static:
      return _stricmp(cls.c_str(), "Static") == 0;
    case dt::Kind::PushButton:
      return _stricmp(cls.c_str(), "Button") == 0 && (style & BS_TYPEMASK) == BS_PUSHBUTTON;
    case dt::Kind::DefPushButton:
      return _stricmp(cls.c_str(), "Button") == 0 && (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    case dt::Kind::CheckBox:
      return _stricmp(cls.c_str(), "Button") == 0 && (style & BS_TYPEMASK) == BS_AUTOCHECKBOX;
  }
  return false;
}

// Pixels of a template rectangle, mapped as the dialog manager maps it:
// position and size each on their own.
RECT TemplatePixels(HWND dialog, const dt::Control& c) {
  RECT r = {c.x, c.y, c.width, c.height};
  MapDialogRect(dialog, &r);
  return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}

// Every control of the table, in template (z-) order: id, kind, text, tab
// stop and rectangle. Returns one line per difference, in dialog units.
// textSetId: a control whose text the dialog has replaced by now.
template <size_t N>
std::string TemplateDifferences(HWND dialog, const std::array<dt::Control, N>& controls,
                                int textSetId = 0) {
  std::string out;
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const dt::Control& c : controls) {
    char name[64];
    std::snprintf(name, sizeof name, "control %d \"%.*s\": ", c.id, int(c.text.size()),
                  c.text.data());
    if (child == nullptr) {
      out += std::string(name) + "missing\n";
      break;
    }
    if (static_cast<short>(GetDlgCtrlID(child)) != c.id)
      out += std::string(name) + "found id " + std::to_string(GetDlgCtrlID(child)) + "\n";
    if (!KindMatches(child, c.kind))
      out += std::string(name) + "wrong class or style (" + ClassOf(child) + ")\n";
    if (c.id != textSetId && Text(child) != c.text)
      out += std::string(name) + "text \"" + Text(child) + "\"\n";
    const bool tabStop = (GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) != 0;
    if (tabStop != c.tabStop)
      out += std::string(name) + (tabStop ? "is a tab stop\n" : "is no tab stop\n");
    const RECT expected = TemplatePixels(dialog, c);
    const RECT actual = ClientRectOf(dialog, child);
    if (!EqualRect(&expected, &actual)) {
      char where[160];
      std::snprintf(where, sizeof where, "at %s dialog units, documented %d, %d, %d x %d\n",
                    InDialogUnits(dialog, actual).c_str(), c.x, c.y, c.width, c.height);
      out += std::string(name) + where;
    }
    child = GetWindow(child, GW_HWNDNEXT);
  }
  return out;
}

// The client area against the documented size (the main dialog may be
// taller: the progress strip).
std::string SizeDifference(HWND dialog, dt::Size size, bool mayBeTaller) {
  RECT expected = {0, 0, size.width, size.height};
  MapDialogRect(dialog, &expected);
  RECT client;
  GetClientRect(dialog, &client);
  const bool heightOk =
      mayBeTaller ? client.bottom >= expected.bottom : client.bottom == expected.bottom;
  if (client.right == expected.right && heightOk)
    return {};
  return "client area " + InDialogUnits(dialog, client) + " dialog units, documented " +
         std::to_string(size.width) + " x " + std::to_string(size.height) + "\n";
}

std::string FontFace(HWND window, int* points) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  LOGFONTW lf = {};
  GetObjectW(font, sizeof lf, &lf);
  HDC dc = GetDC(window);
  *points = MulDiv(lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight, 72, GetDeviceCaps(dc, LOGPIXELSY));
  ReleaseDC(window, dc);
  return Utf8FromWide(lf.lfFaceName);
}

class Win32DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    timer_ = SetTimer(nullptr, 0, 10, WatchTick);
    dir_ =
        fs::temp_directory_path() / ("vexo3-win32-test-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    KillTimer(nullptr, timer_);
    g_watch = ModalWatch{};
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Opens the dialog on rig's session and starts watching its modal windows.
  void Open(CSivraDlg& dlg) {
    ASSERT_TRUE(dlg.Create());
    ShowWindow(dlg.hwnd(), SW_SHOW);
    SetForegroundWindow(dlg.hwnd());
    g_watch = ModalWatch{};
    g_watch.owner = dlg.hwnd();
    Pump(dlg.hwnd());
  }

  // UTF-8, as the dialog's texts are.
  std::string PathOf(const fs::path& path) { return Utf8FromWide(path.wstring()); }

  std::string WritePackage(uint16_t hcFlags = 0x1000, const std::string& name = "package.bin") {
    const std::string path = PathOf(dir_) + "\\" + name;
    EXPECT_TRUE(sim::WritePackage(path, ds::Package(hcFlags)));
    return path;
  }

  void Load(CSivraDlg& dlg, const std::string& path) {
    SetDlgItemTextW(dlg.hwnd(), IDC_FIRMWARE_FILE, WideFromUtf8(path).c_str());
    dlg.LoadSelectedPackage();
  }

  UINT_PTR timer_ = 0;
  fs::path dir_;
};

TEST_F(Win32DialogTest, MainDialogMatchesItsTemplate) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  HWND h = dlg.hwnd();
  EXPECT_EQ(Text(h), dt::kMainCaption);
  EXPECT_EQ(TemplateDifferences(h, dt::kMainControls), "");
  EXPECT_EQ(SizeDifference(h, dt::kMainSize, true), "");
  int points = 0;
  EXPECT_EQ(FontFace(h, &points), dt::kMainFont);
  EXPECT_EQ(points, dt::kMainFontPoints);

  const auto style = static_cast<::DWORD>(GetWindowLongW(h, GWL_STYLE));
  for (::DWORD bit : {::DWORD{WS_POPUP}, ::DWORD{WS_CAPTION}, ::DWORD{WS_SYSMENU},
                      ::DWORD{WS_MINIMIZEBOX}, ::DWORD{DS_MODALFRAME}})
    EXPECT_EQ(style & bit, bit) << std::hex << bit;
  EXPECT_EQ(style & WS_MAXIMIZEBOX, 0u);
  EXPECT_NE(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);  // own task-bar button

  // Style details of the text areas.
  const LONG summary = GetWindowLongW(dlg.Control(IDC_SUMMARY), GWL_STYLE);
  EXPECT_EQ(summary & SS_TYPEMASK, SS_LEFTNOWORDWRAP);
  EXPECT_NE(summary & SS_NOPREFIX, 0);  // an '&' in a description is shown, not eaten
  const LONG status = GetWindowLongW(dlg.Control(IDC_STATUS), GWL_STYLE);
  EXPECT_EQ(status & SS_TYPEMASK, SS_CENTER);
  EXPECT_NE(status & SS_SUNKEN, 0);

  // The progress strip lies below everything of the template, inside the
  // dialog, and takes no focus.
  RECT strip = ClientRectOf(h, dlg.progressBar());
  RECT statusRect = ClientRectOf(h, dlg.Control(IDC_STATUS));
  RECT client;
  GetClientRect(h, &client);
  EXPECT_GT(strip.top, statusRect.bottom);
  EXPECT_LE(strip.bottom, client.bottom);
  EXPECT_EQ(GetWindowLongW(dlg.progressBar(), GWL_STYLE) & WS_TABSTOP, 0);
  EXPECT_STREQ(ClassOf(dlg.progressBar()).c_str(), "msctls_progress32");
}

// Moved to a monitor of another scale, the window takes the rectangle
// Windows suggests (here one for the template alone, without the strip) and
// the strip and the extra height follow the new DPI; back on the first
// monitor everything is where it was.
TEST_F(Win32DialogTest, ChangeOfDpiKeepsTheProgressStripInside) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  HWND h = dlg.hwnd();
  const UINT dpi = GetDpiForWindow(h);
  RECT window0;
  RECT client0;
  GetWindowRect(h, &window0);
  GetClientRect(h, &client0);
  const RECT strip0 = ClientRectOf(h, dlg.progressBar());
  RECT bareTemplate = {0, 0, dt::kMainSize.width, dt::kMainSize.height};
  MapDialogRect(h, &bareTemplate);
  const LONG frameHeight = (window0.bottom - window0.top) - client0.bottom;

  for (const UINT newDpi : {dpi * 3 / 2, dpi * 2}) {
    SCOPED_TRACE(newDpi);
    const auto scale = [&](LONG v) {
      return MulDiv(v, static_cast<int>(newDpi), static_cast<int>(dpi));
    };
    RECT suggested = {10, 20, 10 + scale(window0.right - window0.left),
                      20 + scale(bareTemplate.bottom) + frameHeight};
    SendMessageW(h, WM_DPICHANGED, MAKEWPARAM(newDpi, newDpi),
                 reinterpret_cast<LPARAM>(&suggested));
    RECT window;
    GetWindowRect(h, &window);
    EXPECT_EQ(window.left, suggested.left);
    EXPECT_EQ(window.top, suggested.top);
    EXPECT_EQ(window.right, suggested.right);
    RECT client;
    GetClientRect(h, &client);
    EXPECT_EQ(client.bottom, scale(client0.bottom));
    const RECT strip = ClientRectOf(h, dlg.progressBar());
    const RECT expected = {scale(strip0.left), scale(strip0.top), scale(strip0.right),
                           scale(strip0.bottom)};
    EXPECT_TRUE(EqualRect(&strip, &expected))
        << strip.left << "," << strip.top << " - " << strip.right << "," << strip.bottom;
    EXPECT_LT(strip.bottom, client.bottom);
  }

  SendMessageW(h, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&window0));
  RECT window;
  RECT client;
  GetWindowRect(h, &window);
  GetClientRect(h, &client);
  const RECT strip = ClientRectOf(h, dlg.progressBar());
  EXPECT_TRUE(EqualRect(&window, &window0));
  EXPECT_TRUE(EqualRect(&client, &client0));
  EXPECT_TRUE(EqualRect(&strip, &strip0));
}

TEST_F(Win32DialogTest, StartState) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  HWND h = dlg.hwnd();
  EXPECT_NE(SendMessageW(h, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageW(h, WM_GETICON, ICON_SMALL, 0), 0);
  EXPECT_EQ(SendMessageW(h, WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(dlg.icon()));
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_HC_CHECK), UINT{BST_CHECKED});
  EXPECT_EQ(IsDlgButtonChecked(h, IDC_CAMERA_CHECK), UINT{BST_CHECKED});
  for (int id : {IDC_FIRMWARE_FILE, IDC_SUMMARY, IDC_STATUS})
    EXPECT_EQ(Text(dlg.Control(id)), "") << id;
  // No push button is the default one.
  for (int id : {IDC_BROWSE, IDC_UPDATE, IDC_READ_INFO}) {
    EXPECT_TRUE(IsWindowEnabled(dlg.Control(id))) << id;
    EXPECT_EQ(GetWindowLongW(dlg.Control(id), GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON) << id;
  }
  // The focus starts in the file field; Tab runs in template order.
  EXPECT_EQ(GetFocus(), dlg.Control(IDC_FIRMWARE_FILE));
  HWND at = dlg.Control(dt::kMainTabOrder.front());
  for (size_t i = 1; i <= dt::kMainTabOrder.size(); ++i) {
    at = GetNextDlgTabItem(h, at, FALSE);
    EXPECT_EQ(GetDlgCtrlID(at), dt::kMainTabOrder[i % dt::kMainTabOrder.size()]) << i;
  }
  // No package: the update button does nothing at all.
  SendMessageW(dlg.Control(IDC_UPDATE), BM_CLICK, 0, 0);
  Pump(h);
  EXPECT_EQ(Text(dlg.Control(IDC_STATUS)), "");
  EXPECT_EQ(rig.chip.CallCount(sim::D2xxCall::Open), 0u);
  EXPECT_EQ(g_watch.seen, 0);
}

TEST_F(Win32DialogTest, ResourcesOfTheProgram) {
  // Version information: what Explorer shows for the file.
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::vector<char> info(GetFileVersionInfoSizeW(path, nullptr));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<::DWORD>(info.size()), info.data()));
  wchar_t* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\FileDescription",
                             reinterpret_cast<void**>(&value), &length));
  EXPECT_EQ(Utf8FromWide(value), "Vexo-3 updater ver. 1.2");

  // The manifest asks for common controls 6, per-monitor DPI awareness and
  // the invoker's rights for the processor the program is built for, and
  // version 6 is what runs.
  HRSRC manifest = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const std::string text(static_cast<const char*>(LockResource(LoadResource(nullptr, manifest))),
                         SizeofResource(nullptr, manifest));
#ifdef _WIN64
  constexpr const char* kArchitecture =
      "name=\"Vexo3.Updater\" version=\"1.2.0.0\" processorArchitecture=\"amd64\"";
#else
  constexpr const char* kArchitecture =
      "name=\"Vexo3.Updater\" version=\"1.2.0.0\" processorArchitecture=\"x86\"";
#endif
  for (const char* needle : {"Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"",
                             "PerMonitorV2", "asInvoker", "UTF-8", kArchitecture})
    EXPECT_NE(text.find(needle), std::string::npos) << needle;
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  // Only version 6 buttons know their ideal size.
  SIZE ideal = {};
  EXPECT_TRUE(
      SendMessageW(dlg.Control(IDC_UPDATE), BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal)));
  EXPECT_GT(ideal.cx, 0);

  // The icon group, with a small image of its own.
  EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(dt::kIconId), MAKEINTRESOURCEW(14)), nullptr);
  EXPECT_NE(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dt::kIconId), IMAGE_ICON, 16, 16,
                       LR_SHARED),
            nullptr);
}

TEST_F(Win32DialogTest, EnterOrEscClosesTheDialog) {
  // From any control but a push button.
  for (const int focusId : {IDC_FIRMWARE_FILE, IDC_HC_CHECK}) {
    for (const UINT key : {VK_RETURN, VK_ESCAPE}) {
      SimRig rig(UpdatableConfig());
      CSivraDlg dlg(rig.session);
      Open(dlg);
      SendMessageW(dlg.hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(dlg.Control(focusId)), TRUE);
      Key(GetFocus(), key);
      Pump(dlg.hwnd());
      EXPECT_EQ(dlg.hwnd(), nullptr) << "focus " << focusId << ", key " << key;
    }
  }
}

TEST_F(Win32DialogTest, EnterOnAFocusedButtonPressesItAndTheFocusComesBack) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  HWND readInfo = dlg.Control(IDC_READ_INFO);
  SendMessageW(dlg.hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(readInfo), TRUE);
  std::string caption;
  g_watch.script = [&](HWND report) {
    caption = Text(report);
    Key(GetFocus(), VK_RETURN);  // OK is the default button
  };
  Key(readInfo, VK_RETURN);
  Pump(dlg.hwnd(), 100);
  EXPECT_EQ(caption, dt::kDevinfoCaption);
  ASSERT_NE(dlg.hwnd(), nullptr);
  EXPECT_EQ(GetFocus(), readInfo);
}

TEST_F(Win32DialogTest, ReportDialogMatchesItsTemplate) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  std::string differences = "not shown";
  std::string report;
  int points = 0;
  std::string font;
  bool okHasFocus = false;
  bool reportNoPrefix = false;
  LRESULT defId = 0;
  g_watch.script = [&](HWND d) {
    differences = "";
    if (Text(d) != dt::kDevinfoCaption)
      differences += "caption \"" + Text(d) + "\"\n";
    differences += TemplateDifferences(d, dt::kDevinfoControls, IDC_REPORT);
    differences += SizeDifference(d, dt::kDevinfoSize, false);
    font = FontFace(d, &points);
    report = Text(GetDlgItem(d, IDC_REPORT));
    reportNoPrefix = (GetWindowLongW(GetDlgItem(d, IDC_REPORT), GWL_STYLE) & SS_NOPREFIX) != 0;
    okHasFocus = GetFocus() == GetDlgItem(d, IDOK);
    defId = SendMessageW(d, DM_GETDEFID, 0, 0);
    Key(GetFocus(), VK_RETURN);
  };
  SendMessageW(dlg.Control(IDC_READ_INFO), BM_CLICK, 0, 0);
  Pump(dlg.hwnd());
  EXPECT_EQ(differences, "");
  EXPECT_EQ(font, dt::kDevinfoFont);
  EXPECT_EQ(points, dt::kDevinfoFontPoints);
  EXPECT_TRUE(okHasFocus);
  EXPECT_TRUE(reportNoPrefix);  // device texts may hold '&'
  EXPECT_EQ(HIWORD(defId), DC_HASDEFID);
  EXPECT_EQ(LOWORD(defId), IDOK);
  EXPECT_EQ(report.rfind(ds::kReportStart, 0), 0u) << report;
  EXPECT_NE(report.find(ds::kReportCamera), std::string::npos);
  // The report changes nothing in the main dialog and keeps the session.
  EXPECT_EQ(Text(dlg.Control(IDC_STATUS)), "");
  EXPECT_TRUE(rig.chip.IsOpen());
  EXPECT_EQ(GetFocus(), dlg.Control(IDC_READ_INFO));
}

TEST_F(Win32DialogTest, ChosenPackageIsSummarised) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  // A name outside any 8-bit code page goes through the chooser, the field
  // and the loader whole.
  const std::string path = WritePackage(0x1000, "paket-\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC.bin");
  std::vector<std::string> filters;
  g_watch.script = [&](HWND chooser) {
    HWND types = GetDlgItem(chooser, cmb1);
    const int count = static_cast<int>(SendMessageW(types, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      wchar_t item[256] = {};
      SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
      filters.push_back(Utf8FromWide(item));
    }
    if (!SetDlgItemTextW(chooser, cmb13, WideFromUtf8(path).c_str()))
      SetDlgItemTextW(chooser, edt1, WideFromUtf8(path).c_str());
    Press(chooser, IDOK);
  };
  SendMessageW(dlg.Control(IDC_BROWSE), BM_CLICK, 0, 0);
  Pump(dlg.hwnd());
  EXPECT_EQ(filters, std::vector<std::string>{std::string(ds::kFileFilter)});
  EXPECT_EQ(_stricmp(Text(dlg.Control(IDC_FIRMWARE_FILE)).c_str(), path.c_str()), 0)
      << Text(dlg.Control(IDC_FIRMWARE_FILE));
  EXPECT_EQ(Text(dlg.Control(IDC_SUMMARY)), BuildPackageSummary(dlg.package()));
  EXPECT_TRUE(dlg.package().hcImage.IsPresent());
  EXPECT_EQ(GetFocus(), dlg.Control(IDC_BROWSE));

  // A cancelled chooser changes nothing.
  const std::string summary = Text(dlg.Control(IDC_SUMMARY));
  g_watch.script = [&](HWND chooser) { Press(chooser, IDCANCEL); };
  SendMessageW(dlg.Control(IDC_BROWSE), BM_CLICK, 0, 0);
  Pump(dlg.hwnd());
  EXPECT_EQ(g_watch.seen, 2);
  EXPECT_EQ(_stricmp(Text(dlg.Control(IDC_FIRMWARE_FILE)).c_str(), path.c_str()), 0);
  EXPECT_EQ(Text(dlg.Control(IDC_SUMMARY)), summary);
}

// Watches the progress strip's own paints while an upload runs.
struct PaintSpy {
  CSivraDlg* dlg = nullptr;
  int paints = 0;
  bool controlsDisabled = true;
  std::vector<std::string> statuses;
  HWND cameraBox = nullptr;
};

LRESULT CALLBACK SpyOnPaint(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                            DWORD_PTR data) {
  auto* spy = reinterpret_cast<PaintSpy*>(data);
  if (message == WM_PAINT && Text(spy->dlg->Control(IDC_STATUS)).rfind("Uploading", 0) == 0) {
    if (spy->paints++ == 0) {
      // User input waits for the action: this click must not untick the
      // box before the Camera upload.
      PostMessageW(spy->cameraBox, BM_CLICK, 0, 0);
    }
    for (int id : {IDC_FIRMWARE_FILE, IDC_BROWSE, IDC_UPDATE})
      spy->controlsDisabled = spy->controlsDisabled && !IsWindowEnabled(spy->dlg->Control(id));
    const std::string status = Text(spy->dlg->Control(IDC_STATUS));
    if (spy->statuses.empty() || spy->statuses.back() != status)
      spy->statuses.push_back(status);
  }
  return DefSubclassProc(bar, message, wParam, lParam);
}

// Records every text the status control is given, with the progress
// strip's position at that moment.
struct StatusSpy {
  HWND strip = nullptr;
  std::vector<std::string> texts;
  std::vector<LRESULT> positions;
};

LRESULT CALLBACK SpyOnStatus(HWND status, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR data) {
  if (message == WM_SETTEXT) {
    auto* spy = reinterpret_cast<StatusSpy*>(data);
    spy->texts.push_back(Utf8FromWide(reinterpret_cast<const wchar_t*>(lParam)));
    spy->positions.push_back(SendMessageW(spy->strip, PBM_GETPOS, 0, 0));
  }
  return DefSubclassProc(status, message, wParam, lParam);
}

TEST_F(Win32DialogTest, UpdateRunsToDoneOkWithItsProgressStrip) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  Load(dlg, WritePackage());
  ASSERT_TRUE(dlg.package().cameraImage.IsPresent());
  PaintSpy spy;
  spy.dlg = &dlg;
  spy.cameraBox = dlg.Control(IDC_CAMERA_CHECK);
  SetWindowSubclass(dlg.progressBar(), SpyOnPaint, 1, reinterpret_cast<DWORD_PTR>(&spy));
  StatusSpy status;
  status.strip = dlg.progressBar();
  SetWindowSubclass(dlg.Control(IDC_STATUS), SpyOnStatus, 1, reinterpret_cast<DWORD_PTR>(&status));

  SendMessageW(dlg.Control(IDC_UPDATE), BM_CLICK, 0, 0);
  EXPECT_EQ(status.texts,
            (std::vector<std::string>{"Reading device state...", "Uploading HC firmware...",
                                      "Uploading Camera firmware...", std::string(ds::kDone)}));
  EXPECT_GT(spy.paints, 2);  // the strip repainted while the upload ran
  EXPECT_TRUE(spy.controlsDisabled);
  // ... during both uploads.
  EXPECT_EQ(spy.statuses,
            (std::vector<std::string>{"Uploading HC firmware...", "Uploading Camera firmware..."}));
  EXPECT_EQ(rig.hc.Flash(sim::Unit::Camera).size(), ds::kCameraImageSize);
  EXPECT_EQ(SendMessageW(dlg.progressBar(), PBM_GETPOS, 0, 0), LRESULT{ds::kCameraImageSize});
  for (int id : {IDC_FIRMWARE_FILE, IDC_BROWSE, IDC_UPDATE})
    EXPECT_TRUE(IsWindowEnabled(dlg.Control(id))) << id;
  EXPECT_EQ(GetFocus(), dlg.Control(IDC_UPDATE));  // disabled meanwhile, and back
  EXPECT_TRUE(rig.chip.IsOpen());
  // The click posted during the upload runs now.
  Pump(dlg.hwnd());
  EXPECT_EQ(IsDlgButtonChecked(dlg.hwnd(), IDC_CAMERA_CHECK), UINT{BST_UNCHECKED});

  // The next run starts with an empty strip, not with the last run's bytes.
  status.texts.clear();
  status.positions.clear();
  SendMessageW(dlg.Control(IDC_UPDATE), BM_CLICK, 0, 0);
  ASSERT_FALSE(status.positions.empty());
  EXPECT_EQ(status.texts.front(), "Reading device state...");
  EXPECT_EQ(status.positions.front(), 0);
  EXPECT_EQ(status.texts.back(), ds::kDone);

  // The Camera failing after a good HandController: the strip shows the
  // Camera's bytes (in the error colour), not a full HandController bar. Its
  // third 218 is this run's first chunk (the second run had it unticked).
  CheckDlgButton(dlg.hwnd(), IDC_CAMERA_CHECK, BST_CHECKED);
  rig.hc.AddFault({sim::Unit::Camera, 247, 218, 3, sim::FaultAction::Status, 9});
  g_watch.script = [](HWND b) { Press(b, IDOK); };
  SendMessageW(dlg.Control(IDC_UPDATE), BM_CLICK, 0, 0);
  EXPECT_EQ(SendMessageW(dlg.progressBar(), PBM_GETRANGE, FALSE, 0), LRESULT{ds::kCameraImageSize});
  EXPECT_EQ(SendMessageW(dlg.progressBar(), PBM_GETPOS, 0, 0), 0);
  RemoveWindowSubclass(dlg.progressBar(), SpyOnPaint, 1);
  RemoveWindowSubclass(dlg.Control(IDC_STATUS), SpyOnStatus, 1);
}

TEST_F(Win32DialogTest, EachFailureShowsOneBox) {
  for (const ds::Failure& row : ds::kFailures) {
    SCOPED_TRACE(row.name);
    SimRig rig(UpdatableConfig(row.mode));
    rig.chip.SetUnplugged(row.unplugged);
    CSivraDlg dlg(rig.session);
    Open(dlg);
    Load(dlg, WritePackage(row.hcFlags));
    const int button = row.action == ds::Action::Update ? IDC_UPDATE : IDC_READ_INFO;
    const bool yesNo = row.buttons == MessageButtons::YesNo;
    Box box;
    bool updateDisabled = false;
    bool openDuringAction = false;
    g_watch.script = [&](HWND b) {
      box = ReadBox(b);
      updateDisabled = !IsWindowEnabled(dlg.Control(IDC_UPDATE));
      // Esc or the close box while the action still runs: the dialog stays.
      SendMessageW(dlg.hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      openDuringAction = dlg.hwnd() != nullptr;
      Press(b, yesNo ? IDNO : IDOK);
    };
    SendMessageW(dlg.Control(button), BM_CLICK, 0, 0);
    Pump(dlg.hwnd());
    EXPECT_EQ(g_watch.seen, 1);
    EXPECT_TRUE(openDuringAction);
    ASSERT_NE(dlg.hwnd(), nullptr);
    EXPECT_EQ(box.caption, row.caption);
    if (row.wholeText) {
      EXPECT_EQ(box.text, row.text);
    } else {
      EXPECT_EQ(box.text.rfind(row.text, 0), 0u) << box.text;
    }
    EXPECT_EQ(box.icon,
              LoadIconW(nullptr, row.icon == MessageIcon::Error ? IDI_HAND : IDI_EXCLAMATION));
    EXPECT_EQ(box.buttons, (yesNo ? std::vector<int>{IDYES, IDNO} : std::vector<int>{IDOK}));
    EXPECT_EQ(updateDisabled, button == IDC_UPDATE);  // the box came inside the action
    EXPECT_EQ(Text(dlg.Control(IDC_STATUS)), row.status);
    EXPECT_TRUE(IsWindowEnabled(dlg.Control(IDC_UPDATE)));
    EXPECT_FALSE(rig.chip.IsOpen());  // a failure closes the session
    EXPECT_EQ(GetFocus(), dlg.Control(button));
  }
}

// Asks the window every 250 ms from another thread, as Windows does to tell
// a hung window, and keeps the longest wait for an answer.
class Pinger {
 public:
  explicit Pinger(HWND window) : window_(window), thread_([this] { Run(); }) {}
  ~Pinger() {
    stop_ = true;
    thread_.join();
  }
  std::chrono::milliseconds Longest() const { return std::chrono::milliseconds(longestMs_.load()); }
  int Unanswered() const { return unanswered_; }

 private:
  void Run() {
    while (!stop_) {
      const auto start = std::chrono::steady_clock::now();
      DWORD_PTR result = 0;
      if (SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result) == 0)
        ++unanswered_;
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      longestMs_ = std::max<long long>(longestMs_, took.count());
      Sleep(250);
    }
  }

  HWND window_;
  std::atomic<bool> stop_{false};
  std::atomic<long long> longestMs_{0};
  std::atomic<int> unanswered_{0};
  std::thread thread_;
};

// One row per long wait inside an action.
struct LongWaitRow {
  const char* name;
  int button;
  uint32_t notReadyPolls;
  bool silentCamera;  // the Camera's start goes unanswered (5 s)
  const char* status;
};

TEST_F(Win32DialogTest, WindowAnswersThroughoutLongWaits) {
  const std::vector<LongWaitRow> rows = {
      {"readiness wait", IDC_UPDATE, 250, false, "DONE ok"},
      {"silent Camera", IDC_READ_INFO, 0, true, ""},
  };
  for (const LongWaitRow& row : rows) {
    SCOPED_TRACE(row.name);
    sim::HandControllerConfig cfg = UpdatableConfig();
    cfg.update.notReadyPolls = row.notReadyPolls;
    RealTimeRig rig(cfg, 10000);  // 10 ms before each answer
    if (row.silentCamera)
      rig.hc.AddFault({sim::Unit::HandController, 244, 193, 1, sim::FaultAction::Timeout, 0});
    CSivraDlg dlg(rig.session);
    Open(dlg);
    Load(dlg, WritePackage());
    CheckDlgButton(dlg.hwnd(), IDC_CAMERA_CHECK, BST_UNCHECKED);
    g_watch.script = [&](HWND b) { Press(b, IDOK); };

    const auto start = std::chrono::steady_clock::now();
    std::chrono::milliseconds longest{};
    int unanswered = 0;
    {
      Pinger pinger(dlg.hwnd());
      SendMessageW(dlg.Control(row.button), BM_CLICK, 0, 0);
      longest = pinger.Longest();
      unanswered = pinger.Unanswered();
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("[ %s ] action took %lld ms, longest answer %lld ms\n", row.name,
                static_cast<long long>(took.count()), static_cast<long long>(longest.count()));
    EXPECT_GT(took, std::chrono::milliseconds(1500));  // long enough to mean something
    EXPECT_LT(longest, std::chrono::seconds(1));
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(Text(dlg.Control(IDC_STATUS)), row.status);
    EXPECT_TRUE(IsWindowEnabled(dlg.Control(IDC_UPDATE)));
  }
}

TEST_F(Win32DialogTest, LoadingFailureShowsABoxAndClearsTheSummary) {
  SimRig rig(UpdatableConfig());
  CSivraDlg dlg(rig.session);
  Open(dlg);
  Load(dlg, WritePackage());
  EXPECT_NE(Text(dlg.Control(IDC_SUMMARY)), "");
  Box box;
  g_watch.script = [&](HWND b) {
    box = ReadBox(b);
    Press(b, IDOK);
  };
  Load(dlg, PathOf(dir_ / "missing.bin"));
  EXPECT_EQ(box.caption, "Loading failed");
  EXPECT_EQ(box.text.rfind("Error: ", 0), 0u) << box.text;
  EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_HAND));
  EXPECT_EQ(Text(dlg.Control(IDC_SUMMARY)), "");
  EXPECT_FALSE(dlg.package().hcImage.IsPresent());
}

}  // namespace
}  // namespace vexo3

int main(int argc, char** argv) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
