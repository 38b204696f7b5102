// user32's MessageBoxA without a screen.
#include "winsim/user/message_box.h"

#include <mutex>

#include "winsim/kernel/debug_log.h"

namespace winsim {
namespace {

struct Boxes {
  std::mutex lock;
  MessageBoxResponder responder;
  std::vector<MessageBoxRecord> shown;
};

Boxes &TheBoxes() {
  static Boxes boxes;
  return boxes;
}

// The buttons of each MB_TYPEMASK value, in the order they are shown.
const std::vector<int> &Buttons(UINT type) {
  static const std::vector<int> kButtons[] = {
      {IDOK}, {IDOK, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL}, {IDYES, IDNO}, {IDRETRY, IDCANCEL}};
  return kButtons[type & MB_TYPEMASK];
}

int DefaultButton(UINT type) {
  const std::vector<int> &buttons = Buttons(type);
  size_t index = (type & MB_DEFMASK) >> 8;
  return index < buttons.size() ? buttons[index] : buttons[0];
}

}  // namespace

void SetMessageBoxResponder(MessageBoxResponder responder) {
  std::lock_guard<std::mutex> guard(TheBoxes().lock);
  TheBoxes().responder = std::move(responder);
}

std::vector<MessageBoxRecord> MessageBoxes() {
  std::lock_guard<std::mutex> guard(TheBoxes().lock);
  return TheBoxes().shown;
}

void ResetMessageBoxes() {
  std::lock_guard<std::mutex> guard(TheBoxes().lock);
  TheBoxes().responder = nullptr;
  TheBoxes().shown.clear();
}

}  // namespace winsim

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  if ((uType & MB_TYPEMASK) > MB_RETRYCANCEL) {
    SetLastError(1438 /* ERROR_INVALID_MSGBOX_STYLE */);
    return 0;
  }
  if (hWnd != nullptr && !IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  winsim::MessageBoxRecord box{hWnd, lpText != nullptr ? lpText : "", lpCaption != nullptr ? lpCaption : "Error",
                               uType, 0};
  winsim::MessageBoxResponder responder;
  {
    std::lock_guard<std::mutex> guard(winsim::TheBoxes().lock);
    responder = winsim::TheBoxes().responder;
  }
  // The responder runs outside the lock: it may show another box.
  box.answer = responder ? responder(box) : winsim::DefaultButton(uType);
  winsim::DebugLog::Append("user32", "message box \"" + box.caption + "\": " + box.text + " -> " +
                                         std::to_string(box.answer));
  std::lock_guard<std::mutex> guard(winsim::TheBoxes().lock);
  winsim::TheBoxes().shown.push_back(box);
  return box.answer;
}
