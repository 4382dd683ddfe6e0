// Win32 owner-thread mailbox: a hidden pop-up window made on the creating
// thread.
//
// Reader threads Post a payload-free window message (PostMessageA, wParam and
// lParam 0); when the owner thread dispatches its messages the window
// procedure hands WM_DELIVER_DATA (WM_USER + 101), WM_DELIVER_AUTHENTICATION
// (WM_USER + 102) and WM_DELIVER_CONNECTION (WM_USER + 103) to the handler and reports them handled
// with 0. Every other message gets the default processing. A host's own message loop (a browser's,
// a script host's) is enough to deliver; Pump is for hosts without one.
//
// The window class belongs to the module holding this code (the DLL when the
// component is loaded in-process). It is registered with the first window and
// unregistered with the last, because a DLL's classes outlive the DLL and a
// class whose procedure points into an unloaded module must not stay behind.
#include <windows.h>

#include <mutex>

#include "platform/mailbox.h"

namespace corvane {
namespace {

constexpr UINT kDeliverData = WM_USER + 101;
constexpr UINT kDeliverAuthentication = WM_USER + 102;
// WM_DELIVER_CONNECTION: a connection event queued off the owner thread.
constexpr UINT kDeliverConnection = WM_USER + 103;
constexpr char kClassName[] = "CorvaneComponentWindow";
constexpr char kWindowText[] = "CComponentMethods";

// Guards the class registration against a window made or destroyed meanwhile.
std::mutex g_classMutex;
int g_windowCount = 0;

HINSTANCE ThisModule();

class WindowMailbox final : public Mailbox {
 public:
  explicit WindowMailbox(Handler handler) : m_handler(std::move(handler)) {}

  ~WindowMailbox() override {
    std::lock_guard<std::mutex> lock(g_classMutex);
    if (m_hwnd != nullptr) {
      // No message reaches this object any more, whichever thread gets it.
      SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, 0);
      // Only the owner thread can destroy the window; from any other, the
      // owner closes it when it next dispatches.
      if (!DestroyWindow(m_hwnd)) PostMessageA(m_hwnd, WM_CLOSE, 0, 0);
      if (--g_windowCount == 0) UnregisterClassA(kClassName, ThisModule());
    }
  }

  // Makes the window on this thread; false with the system's last error
  // (which may be 0) when it cannot be made.
  bool Create(DWORD* error) {
    std::lock_guard<std::mutex> lock(g_classMutex);
    if (g_windowCount == 0) {
      WNDCLASSEXA wc = {};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = WindowProc;
      wc.hInstance = ThisModule();
      wc.lpszClassName = kClassName;
      if (RegisterClassExA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        *error = GetLastError();
        return false;
      }
    }
    SetLastError(0);
    m_hwnd = CreateWindowExA(0, kClassName, kWindowText, WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                             ThisModule(), this);
    if (m_hwnd == nullptr) {
      *error = GetLastError();
      if (g_windowCount == 0) UnregisterClassA(kClassName, ThisModule());
      return false;
    }
    ++g_windowCount;
    *error = 0;
    return true;
  }

  bool Post(unsigned message) override { return PostMessageA(m_hwnd, message, 0, 0) != FALSE; }

  int Pump() override {
    int handled = 0;
    MSG msg;
    while (PeekMessageA(&msg, m_hwnd, 0, 0, PM_REMOVE)) {
      if (msg.message == kDeliverData || msg.message == kDeliverAuthentication ||
          msg.message == kDeliverConnection) {
        ++handled;
      }
      DispatchMessageA(&msg);
    }
    return handled;
  }

  intptr_t WaitHandle() const override { return reinterpret_cast<intptr_t>(m_hwnd); }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == kDeliverData || message == kDeliverAuthentication ||
               message == kDeliverConnection) {
      auto* self = reinterpret_cast<WindowMailbox*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
      // No exception may unwind through the system's dispatch code.
      try {
        if (self != nullptr && self->m_handler) self->m_handler(message);
      } catch (...) {
      }
      return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  Handler m_handler;
  HWND m_hwnd = nullptr;
};

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&g_windowCount), &module);
  return module;
}

}  // namespace

std::unique_ptr<Mailbox> CreateMailbox(Mailbox::Handler handler, int32_t* errorCode) {
  DWORD error = 0;
  bool made = false;
  std::unique_ptr<WindowMailbox> mailbox;
  try {
    mailbox = std::make_unique<WindowMailbox>(std::move(handler));
    made = mailbox->Create(&error);
  } catch (...) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (errorCode != nullptr) *errorCode = static_cast<int32_t>(error);
  if (!made) return nullptr;
  return mailbox;
}

}  // namespace corvane
