// Message maps as tables: each dialog class lists, in a static array, the messages and commands it
// handles and the member function for each. The framework looks a message up in the class's map
// and hands everything the map does not name to the default handling.
//
//   const MessageMapEntry<CMyDialog> CMyDialog::kMessageMap[] = {
//       OnWmPaint(&CMyDialog::OnPaint),
//       OnBnClicked(IDC_GO, &CMyDialog::OnGo),
//   };
#pragma once

#include <span>
#include <variant>

#include "platform/framework/icon.h"
#include "platform/framework/types.h"

namespace framework {

struct Message {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

template <class T>
using MessageHandler = std::variant<void (T::*)(),              // WM_PAINT, WM_CLOSE, commands
                                    void (T::*)(UINT_PTR),      // WM_TIMER: the timer id
                                    void (T::*)(UINT, LPARAM),  // WM_SYSCOMMAND
                                    HICON (T::*)()>;            // WM_QUERYDRAGICON

template <class T>
struct MessageMapEntry {
  UINT message;
  UINT notifyCode;  // WM_COMMAND only
  int controlId;    // WM_COMMAND only
  MessageHandler<T> handler;
};

bool EntryMatches(UINT message, UINT notifyCode, int controlId, const Message& m);

template <class T>
MessageMapEntry<T> OnWmPaint(void (T::*handler)()) {
  return {WM_PAINT, 0, 0, handler};
}
template <class T>
MessageMapEntry<T> OnWmClose(void (T::*handler)()) {
  return {WM_CLOSE, 0, 0, handler};
}
template <class T>
MessageMapEntry<T> OnWmTimer(void (T::*handler)(UINT_PTR)) {
  return {WM_TIMER, 0, 0, handler};
}
template <class T>
MessageMapEntry<T> OnWmSysCommand(void (T::*handler)(UINT, LPARAM)) {
  return {WM_SYSCOMMAND, 0, 0, handler};
}
template <class T>
MessageMapEntry<T> OnWmQueryDragIcon(HICON (T::*handler)()) {
  return {WM_QUERYDRAGICON, 0, 0, handler};
}
template <class T>
MessageMapEntry<T> OnBnClicked(int controlId, void (T::*handler)()) {
  return {WM_COMMAND, BN_CLICKED, controlId, handler};
}

// Runs the entry of `map` that handles `m`, if any; true when one did.
template <class T>
bool DispatchMessageMap(T& target, std::span<const MessageMapEntry<T>> map, const Message& m,
                        LRESULT& result) {
  for (const MessageMapEntry<T>& entry : map) {
    if (!EntryMatches(entry.message, entry.notifyCode, entry.controlId, m)) continue;
    if (auto* plain = std::get_if<void (T::*)()>(&entry.handler)) {
      (target.**plain)();
    } else if (auto* timer = std::get_if<void (T::*)(UINT_PTR)>(&entry.handler)) {
      (target.**timer)(static_cast<UINT_PTR>(m.wParam));
    } else if (auto* command = std::get_if<void (T::*)(UINT, LPARAM)>(&entry.handler)) {
      (target.**command)(static_cast<UINT>(m.wParam), m.lParam);
    } else if (auto* icon = std::get_if<HICON (T::*)()>(&entry.handler)) {
      result = reinterpret_cast<LRESULT>((target.**icon)());
    }
    return true;
  }
  return false;
}

}  // namespace framework
