#include "ui/win32/devinfo_dlg.h"

#include "ui/win32/resource.h"

namespace vexo3 {
namespace {

INT_PTR CALLBACK DevinfoProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextW(dialog, IDC_REPORT, reinterpret_cast<const std::wstring*>(lParam)->c_str());
      return TRUE;  // the focus goes to OK, the default button
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

void ShowDevinfoDialog(HWND owner, const std::wstring& reportText) {
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_DEVINFO_DIALOG), owner,
                  DevinfoProc, reinterpret_cast<LPARAM>(&reportText));
}

}  // namespace vexo3
