#pragma once

#include "app/form/layout.h"

namespace kivo::win32 {

// The Win32 window gives each control of FormLayout() this dialog ID, so that other programs
// (screen readers, the tests' probe) can reach it. IDs start clear of IDOK and IDCANCEL, which
// the dialog manager sends for Enter and Escape.
inline constexpr int kFirstControlId = 100;
constexpr int ControlId(Control control) { return kFirstControlId + static_cast<int>(control); }

// The icon resource of kivo-dbupdate.rc.
inline constexpr int kIconId = 1;

}  // namespace kivo::win32
