#pragma once

#include <string>

namespace vexo3 {

// Appends printf-style formatted text to out.
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vexo3
