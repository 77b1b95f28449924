#include "ui/win32/screenshot.h"

#include <windows.h>

#include <commctrl.h>
#include <wincodec.h>

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "sim/units/package_writer.h"
#include "ui/win32/resource.h"
#include "ui/win32/sivra_dlg.h"

namespace vexo3 {
namespace {

// Releases a COM pointer on every way out.
template <typename T>
struct ComPtr {
  T* p = nullptr;
  ~ComPtr() {
    if (p != nullptr)
      p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

bool SavePng(HBITMAP bitmap, const std::wstring& path) {
  ComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))))
    return false;
  ComPtr<IWICBitmap> source;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  UINT width = 0;
  UINT height = 0;
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  return SUCCEEDED(
             factory->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapIgnoreAlpha, &source)) &&
         SUCCEEDED(source->GetSize(&width, &height)) && SUCCEEDED(factory->CreateStream(&stream)) &&
         SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
         SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
         SUCCEEDED(encoder->Initialize(stream.p, WICBitmapEncoderNoCache)) &&
         SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
         SUCCEEDED(frame->Initialize(nullptr)) && SUCCEEDED(frame->SetSize(width, height)) &&
         SUCCEEDED(frame->SetPixelFormat(&format)) &&
         SUCCEEDED(frame->WriteSource(source.p, nullptr)) && SUCCEEDED(frame->Commit()) &&
         SUCCEEDED(encoder->Commit());
}

// The window as it is drawn, caption and frame included.
bool SaveWindow(HWND window, const std::wstring& path) {
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = GetWindowDC(window);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  const bool ok = SavePng(bitmap, path);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  return ok;
}

// Runs the thread's messages for about ms milliseconds, so windows finish
// painting.
void Pump(HWND dialog, ::DWORD ms) {
  const ::DWORD start = GetTickCount();
  MSG msg;
  while (GetTickCount() - start < ms) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (dialog == nullptr || !IsDialogMessageW(dialog, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    Sleep(10);
  }
}

// What the watcher timer works with; the timer procedure has no context.
struct Watch {
  HWND dialog = nullptr;
  std::wstring reportPath;
  bool ok = true;
  bool reportSaved = false;
};
Watch* g_watch = nullptr;  // only while TakeScreenshots runs

BOOL CALLBACK InspectWindow(HWND window, LPARAM) {
  if (window == g_watch->dialog || !IsWindowVisible(window) ||
      GetWindow(window, GW_OWNER) != g_watch->dialog)
    return TRUE;
  if (GetDlgItem(window, IDC_REPORT) != nullptr) {
    // Let it paint before the picture.
    Pump(nullptr, 300);
    g_watch->ok = SaveWindow(window, g_watch->reportPath) && g_watch->ok;
    g_watch->reportSaved = true;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  } else {
    // A message box: the run went wrong.
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, 256);
    std::fprintf(stderr, "vexo3-updater: unexpected box \"%s\"\n", Utf8FromWide(caption).c_str());
    g_watch->ok = false;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
  }
  return FALSE;
}

// Photographs the main dialog once, while the Camera upload is half done:
// the progress strip at work.
struct MidUpload {
  CSivraDlg* dialog = nullptr;
  std::wstring path;
  bool saved = false;
};

LRESULT CALLBACK OnStripMessage(HWND strip, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR data) {
  const LRESULT result = DefSubclassProc(strip, message, wParam, lParam);
  auto* mid = reinterpret_cast<MidUpload*>(data);
  if (message == WM_PAINT && !mid->saved) {
    const auto position = SendMessageW(strip, PBM_GETPOS, 0, 0);
    const auto range = SendMessageW(strip, PBM_GETRANGE, FALSE, 0);
    if (mid->dialog->progressUnit() == Unit::Camera && position * 2 >= range) {
      mid->saved = true;
      if (!SaveWindow(mid->dialog->hwnd(), mid->path))
        std::fprintf(stderr, "vexo3-updater: can't save main-dialog-uploading.png\n");
    }
  }
  return result;
}

void CALLBACK OnWatchTimer(HWND, UINT, UINT_PTR, ::DWORD) {
  static bool inside = false;
  if (inside || g_watch == nullptr)
    return;
  inside = true;
  EnumThreadWindows(GetCurrentThreadId(), InspectWindow, 0);
  inside = false;
}

}  // namespace

bool TakeScreenshots(CSivraDlg& dialog, const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path out = fs::u8path(dir);
  fs::create_directories(out, error);
  if (!fs::is_directory(out, error)) {
    std::fprintf(stderr, "vexo3-updater: can't make the folder %s\n", dir.c_str());
    return false;
  }
  const fs::path package = fs::temp_directory_path(error) / "vexo3-demo.bin";
  const std::string packageUtf8 = Utf8FromWide(package.wstring());
  if (error || !sim::WritePackage(packageUtf8, sim::DemoPackage())) {
    std::fprintf(stderr, "vexo3-updater: can't write the demo package %s\n", packageUtf8.c_str());
    return false;
  }

  const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  if (!dialog.Create()) {
    std::fprintf(stderr, "vexo3-updater: can't open the dialog (error %lu)\n", GetLastError());
    return false;
  }
  Watch watch;
  watch.dialog = dialog.hwnd();
  watch.reportPath = (out / "device-information.png").wstring();
  g_watch = &watch;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, OnWatchTimer);

  ShowWindow(dialog.hwnd(), SW_SHOW);
  SetForegroundWindow(dialog.hwnd());
  Pump(dialog.hwnd(), 300);
  dialog.SetFirmwareFileText(packageUtf8);
  dialog.LoadSelectedPackage();
  MidUpload mid;
  mid.dialog = &dialog;
  mid.path = (out / "main-dialog-uploading.png").wstring();
  SetWindowSubclass(dialog.progressBar(), OnStripMessage, 1, reinterpret_cast<DWORD_PTR>(&mid));
  dialog.UpdateFirmware();
  RemoveWindowSubclass(dialog.progressBar(), OnStripMessage, 1);
  if (!mid.saved) {
    std::fprintf(stderr, "vexo3-updater: no picture of the upload\n");
    watch.ok = false;
  }
  // As after a click on the update button.
  SendMessageW(dialog.hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(dialog.Control(IDC_UPDATE)),
               TRUE);
  Pump(dialog.hwnd(), 300);
  RedrawWindow(dialog.hwnd(), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  if (!SaveWindow(dialog.hwnd(), (out / "main-dialog.png").wstring())) {
    std::fprintf(stderr, "vexo3-updater: can't save main-dialog.png\n");
    watch.ok = false;
  }
  dialog.ReadDeviceInfo();
  if (!watch.reportSaved) {
    std::fprintf(stderr, "vexo3-updater: the device report was not saved\n");
    watch.ok = false;
  }

  KillTimer(nullptr, timer);
  g_watch = nullptr;
  DestroyWindow(dialog.hwnd());
  if (comReady)
    CoUninitialize();
  fs::remove(package, error);
  return watch.ok;
}

}  // namespace vexo3
