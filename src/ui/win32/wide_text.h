#pragma once

// UTF-8 (the actions' texts) to UTF-16 (every window call) and back.

#include <string>
#include <string_view>

namespace vexo3 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace vexo3
