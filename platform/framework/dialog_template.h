// Dialog templates as data: the dialog's caption, font, size and styles, and every control with
// its id, class, text, position and size in dialog units. The framework builds the window from
// them; the application's resources define them.
#pragma once

#include <span>

#include "platform/framework/icon.h"
#include "platform/framework/types.h"

namespace framework {

// Window classes of the controls.
inline constexpr const char* kStaticClass = "STATIC";
inline constexpr const char* kEditClass = "EDIT";
inline constexpr const char* kButtonClass = "BUTTON";
inline constexpr const char* kComboBoxClass = "COMBOBOX";
inline constexpr const char* kProgressClass = "msctls_progress32";

struct ControlTemplate {
  int id = IDC_STATIC;
  const char* className = kStaticClass;
  const char* text = "";
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  // The picture of an SS_ICON static.
  const IconResource* icon = nullptr;
  // Strings a combo box receives when the dialog initialises, in order.
  std::span<const char* const> initItems = {};
};

struct DialogTemplate {
  int id = 0;
  const char* caption = "";
  const char* fontName = "";
  int fontPointSize = 0;
  int width = 0;
  int height = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  std::span<const ControlTemplate> controls;
};

}  // namespace framework
