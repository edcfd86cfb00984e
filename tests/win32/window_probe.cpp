// Drives the native window from outside, as the tests under Wine need: one command per run,
// controls by their names in FormLayout(), answers on stdout in UTF-8. Every wait is bounded.
//
//   launch EXE [NAME=VALUE...]  start EXE with these environment variables; wait for its window
//   get NAME                    the control's text (WM_GETTEXT)
//   set NAME TEXT               replace it (WM_SETTEXT)
//   click NAME                  click a button (BM_CLICK); returns once it is handled, or once
//                               the run it started shows its message box
//   key NAME tab|return         post the key to the control, through the window's message loop
//   key NAME shift-tab          type Shift+Tab into the window, whose focus must be on NAME
//   label NAME                  the text of the control just before it in z-order, by which
//                               screen readers name a text box
//   state NAME                  "visible enabled left top width height mask", pixels in the
//                               client, mask the code of a text box's password character
//   client                      "width height" of the client area
//   focus                       the name of the control that has the focus
//   message                     wait for a message box: "title\nbuttons icons\ntext", then OK
//   close                       the close box (SC_CLOSE)
//   gone                        wait until the window has closed
//   kill                        end the window's process, if it still runs
// The exit status is 0 on success, 1 when the window or the control is missing or a wait ran
// out, 2 on a usage error.
#include <windows.h>

#include <cstddef>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "app/form/layout.h"
#include "app/win32/control_ids.h"
#include "base/utf8.h"

namespace {

using kivo::Control;

std::wstring Wide(std::string_view utf8) {
  const std::u16string text = kivo::Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

void Print(const std::wstring& text) {
  const std::string utf8 = kivo::Utf16ToUtf8(std::u16string(text.begin(), text.end()));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
            nullptr);
}

// Polls every 50 ms for at most `seconds`.
template <typename Condition>
bool WaitFor(double seconds, Condition condition) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
  while (!condition()) {
    if (GetTickCount64() >= end) return false;
    Sleep(50);
  }
  return true;
}

HWND FindForm() { return FindWindowW(nullptr, Wide(kivo::kFormCaption).c_str()); }

std::optional<Control> ControlNamed(const std::wstring& name) {
  for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
    if (Wide(layout.name) == name) return layout.control;
  }
  return std::nullopt;
}

std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 10000, &length)) {
    return {};
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 10000, &copied);
  text.resize(copied);
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// The message box the window's thread shows, if any.
HWND FindMessageBox(HWND form) {
  struct Search {
    DWORD thread;
    HWND found;
  } search{GetWindowThreadProcessId(form, nullptr), nullptr};
  EnumThreadWindows(
      search.thread,
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (IsWindowVisible(window) && ClassOf(window) == L"#32770") {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Returns once the window's thread has handled what was posted to it before: its loop answers
// a sent message each time it asks for the next one, ahead of the posted ones. A click that
// starts the run returns when the run's message box asks for messages.
bool Settle(HWND form) {
  for (int i = 0; i < 3; ++i) {
    DWORD_PTR result = 0;
    // A window that closed has handled everything.
    if (!SendMessageTimeoutW(form, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &result))
      return !IsWindow(form);
  }
  return true;
}

// A posted key carries no Shift: this one goes through the input queue, as typed, to the
// focused control, which must be `child`.
bool ShiftTab(HWND form, HWND child) {
  SetForegroundWindow(form);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &info) ||
      info.hwndFocus != child) {
    return false;
  }
  INPUT keys[4] = {};
  const WORD codes[4] = {VK_SHIFT, VK_TAB, VK_TAB, VK_SHIFT};
  for (int i = 0; i < 4; ++i) {
    keys[i].type = INPUT_KEYBOARD;
    keys[i].ki.wVk = codes[i];
    keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
  }
  return SendInput(4, keys, sizeof(INPUT)) == 4 && Settle(form);
}

int AnswerMessageBox(HWND form) {
  HWND box = nullptr;
  if (!WaitFor(120, [&] { return (box = FindMessageBox(form)) != nullptr; })) return 1;
  struct Parts {
    std::wstring text;
    int buttons = 0;
    int icons = 0;
  } parts;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        auto* p = reinterpret_cast<Parts*>(data);
        if (!IsWindowVisible(child)) return TRUE;
        const std::wstring name = ClassOf(child);
        if (name == L"Button") {
          ++p->buttons;
        } else if (name == L"Static") {
          if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            // Wine keeps the icon's place in a box without one, empty.
            if (SendMessageW(child, STM_GETICON, 0, 0)) ++p->icons;
          } else if (p->text.empty()) {
            p->text = TextOf(child);
          }
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&parts));
  Print(TextOf(box) + L"\n" + std::to_wstring(parts.buttons) + L" " + std::to_wstring(parts.icons) +
        L"\n" + parts.text);
  const HWND ok = GetDlgItem(box, IDOK);
  if (ok) {
    PostMessageW(ok, BM_CLICK, 0, 0);
  } else {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  return WaitFor(10, [&] { return !IsWindow(box); }) ? 0 : 1;
}

int Launch(int argc, wchar_t** argv) {
  for (int i = 3; i < argc; ++i) {
    const std::wstring assignment = argv[i];
    const std::size_t equals = assignment.find(L'=');
    if (equals == std::wstring::npos) return 2;
    SetEnvironmentVariableW(assignment.substr(0, equals).c_str(),
                            assignment.substr(equals + 1).c_str());
  }
  std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 1;
  }
  CloseHandle(process.hThread);
  const bool shown = WaitFor(30, [&] {
    const HWND form = FindForm();
    return form && IsWindowVisible(form);
  });
  CloseHandle(process.hProcess);
  return shown ? 0 : 1;
}

int KillForm() {
  const HWND form = FindForm();
  if (!form) return 0;
  DWORD processId = 0;
  GetWindowThreadProcessId(form, &processId);
  const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
  if (!process) return 1;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
  return 0;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  if (command == L"launch") return argc >= 3 ? Launch(argc, argv) : 2;
  if (command == L"kill") return KillForm();
  const HWND form = FindForm();
  if (command == L"gone") return WaitFor(20, [] { return FindForm() == nullptr; }) ? 0 : 1;
  if (!form) return 1;
  if (command == L"message") return AnswerMessageBox(form);
  if (command == L"close") return PostMessageW(form, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
  if (command == L"client") {
    RECT client{};
    GetClientRect(form, &client);
    Print(std::to_wstring(client.right) + L" " + std::to_wstring(client.bottom));
    return 0;
  }
  if (command == L"focus") {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &info)) return 1;
    const int id = GetDlgCtrlID(info.hwndFocus);
    for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
      if (kivo::win32::ControlId(layout.control) == id) Print(Wide(layout.name));
    }
    return 0;
  }

  if (argc < 3) return 2;
  const std::optional<Control> control = ControlNamed(argv[2]);
  if (!control) return 2;
  const HWND child = GetDlgItem(form, kivo::win32::ControlId(*control));
  if (!child) return 1;
  if (command == L"get") {
    Print(TextOf(child));
    return 0;
  }
  if (command == L"set" && argc >= 4) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]),
                               SMTO_ABORTIFHUNG, 10000, &result)
               ? 0
               : 1;
  }
  if (command == L"label") {
    Print(TextOf(GetWindow(child, GW_HWNDPREV)));
    return 0;
  }
  if (command == L"click") return PostMessageW(child, BM_CLICK, 0, 0) && Settle(form) ? 0 : 1;
  if (command == L"key" && argc >= 4) {
    const std::wstring key = argv[3];
    if (key == L"shift-tab") return ShiftTab(form, child) ? 0 : 1;
    const WPARAM vk = key == L"tab" ? VK_TAB : key == L"return" ? VK_RETURN : 0;
    if (!vk) return 2;
    PostMessageW(child, WM_KEYDOWN, vk, 1);
    PostMessageW(child, WM_KEYUP, vk, 1 | (1u << 30) | (1u << 31));
    return Settle(form) ? 0 : 1;
  }
  if (command == L"state") {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, form, reinterpret_cast<POINT*>(&rect), 2);
    Print(std::to_wstring(IsWindowVisible(child) ? 1 : 0) + L" " +
          std::to_wstring(IsWindowEnabled(child) ? 1 : 0) + L" " + std::to_wstring(rect.left) +
          L" " + std::to_wstring(rect.top) + L" " + std::to_wstring(rect.right - rect.left) + L" " +
          std::to_wstring(rect.bottom - rect.top) + L" " +
          std::to_wstring(SendMessageW(child, EM_GETPASSWORDCHAR, 0, 0)));
    return 0;
  }
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) { return Run(argc, argv); }
