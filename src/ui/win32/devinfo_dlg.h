#pragma once

#include <windows.h>

#include <string>

namespace vexo3 {

// The "Device information" dialog (template 129): shows reportText (UTF-16,
// lines ending in "\n") in its fixed-pitch text and returns when the user
// closes it with OK, Enter, Esc or the close box. Resources come from the
// program's own module.
void ShowDevinfoDialog(HWND owner, const std::wstring& reportText);

}  // namespace vexo3
