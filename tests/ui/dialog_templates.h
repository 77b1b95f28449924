#pragma once

// The two dialogs as their templates lay them out: every control's id, kind,
// text and rectangle in dialog units, in template order. Both front ends'
// tests check their windows against these rows, so the table is the one
// place that says what the dialogs look like. Qt-free and Win32-free.

#include <array>
#include <string_view>

namespace vexo3::dialog_template {

enum class Kind { Edit, Static, PushButton, DefPushButton, CheckBox };

struct Control {
  int id;  // -1: a label nobody addresses
  Kind kind;
  std::string_view text;  // UTF-8; initial text
  int x, y, width, height;
  bool tabStop;
};

struct Size {
  int width, height;
};

inline constexpr int kMainDialogId = 102;
inline constexpr int kDevinfoDialogId = 129;
inline constexpr int kIconId = 138;

inline constexpr std::string_view kMainCaption = "Vexo-3 updater ver. 1.2";
inline constexpr std::string_view kMainFont = "MS Shell Dlg";
inline constexpr int kMainFontPoints = 8;
inline constexpr Size kMainSize = {299, 153};

inline constexpr int kFileField = 1000;
inline constexpr int kBrowseButton = 1001;
inline constexpr int kUpdateButton = 1002;
inline constexpr int kSummaryText = 1004;
inline constexpr int kReadInfoButton = 1005;
inline constexpr int kStatusText = 1006;
inline constexpr int kHcCheckBox = 1008;
inline constexpr int kCameraCheckBox = 1009;

// clang-format off
inline constexpr std::array<Control, 9> kMainControls = {{
    {kFileField,      Kind::Edit,       "",                 7,   19,  258, 12, true},
    {-1,              Kind::Static,     "Firmware file:",   7,   7,   47,  12, false},
    {kBrowseButton,   Kind::PushButton, "...",              270, 18,  20,  13, true},
    {kSummaryText,    Kind::Static,     "",                 7,   56,  158, 90, false},
    {kUpdateButton,   Kind::PushButton, "Update firmwares", 195, 107, 70,  20, true},
    {kStatusText,     Kind::Static,     "",                 171, 133, 121, 13, false},
    {kHcCheckBox,     Kind::CheckBox,   "HandController",   201, 79,  64,  10, true},
    {kCameraCheckBox, Kind::CheckBox,   "Camera",           201, 92,  43,  10, true},
    {kReadInfoButton, Kind::PushButton, "Read device info", 195, 53,  70,  20, true},
}};
// clang-format on

inline constexpr std::string_view kDevinfoCaption = "Device information";
inline constexpr std::string_view kDevinfoFont = "Courier New";
inline constexpr int kDevinfoFontPoints = 10;
inline constexpr Size kDevinfoSize = {230, 269};
inline constexpr int kReportText = 1032;

// clang-format off
inline constexpr std::array<Control, 2> kDevinfoControls = {{
    {kReportText, Kind::Static,        "Static", 7,  7,   216, 239, false},
    {1,           Kind::DefPushButton, "OK",     89, 248, 50,  14,  true},
}};
// clang-format on

// Ids of the main dialog's tab stops in tab order (template order).
inline constexpr std::array<int, 6> kMainTabOrder = {kFileField,  kBrowseButton,   kUpdateButton,
                                                     kHcCheckBox, kCameraCheckBox, kReadInfoButton};

}  // namespace vexo3::dialog_template
