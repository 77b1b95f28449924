#pragma once

// The main dialog as a web page: each call of MainWindow goes to the page's
// script (page.js, Module.vexo3Page), which keeps the controls. The boxes and
// the report are modal <dialog> elements; waiting for the person to close
// one is an await (Asyncify), so the page keeps running meanwhile.

#include "ui/core/main_window.h"

namespace vexo3 {

class WebMainWindow final : public MainWindow {
 public:
  VEXO3_MAIN_WINDOW_OVERRIDES;
};

}  // namespace vexo3
