// Win32 owner-thread mailbox: a hidden pop-up window made on the creating
// thread.
//
// Reader threads Post a payload-free window message (PostMessageA, wParam and
// lParam 0); when the owner thread dispatches its messages the window
// procedure hands the notifications, WM_DELIVER_DATA (WM_USER + 101),
// WM_DELIVER_AUTHENTICATION (WM_USER + 102) and WM_DELIVER_CONNECTION
// (WM_USER + 103), to the handler and reports them handled with 0. Every other
// message gets the default processing. A host's own message loop (a browser's,
// a script host's) is enough to deliver; Pump is for hosts without one.
//
// Work left by a handler call continues without ever flooding the thread's
// queue: one timer (WM_TIMER ranks below posted messages, input and paint) is
// armed while the handler runs, so a message loop that a callback enters
// itself still gets the rest; when the handler leaves work and the thread has
// no input, paint or timer waiting, one resume message (WM_USER + 104) is
// posted as well, so a busy feed does not idle until the timer's 10 ms
// minimum. At most one resume message and one timer exist per window, far
// from the posted-message quota of a thread.
//
// The window class belongs to the module holding this code (the DLL when the
// component is loaded in-process). It is registered with the first window and
// unregistered with the last, because a DLL's classes outlive the DLL and a
// class whose procedure points into an unloaded module must not stay behind.
//
// The state the window procedure uses lives apart from the Mailbox object and
// a running handler call holds it: the handler may destroy the mailbox (the
// component released inside a callback) and returns into valid code.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/mailbox.h"

namespace corvane {
namespace {

constexpr UINT kDeliverData = WM_USER + 101;
constexpr UINT kDeliverAuthentication = WM_USER + 102;
constexpr UINT kDeliverConnection = WM_USER + 103;
constexpr UINT kResumeMessage = WM_USER + 104;
constexpr UINT_PTR kResumeTimer = 1;
constexpr char kClassName[] = "CorvaneComponentWindow";
constexpr char kWindowText[] = "CComponentMethods";

// Guards the class registration against a window made or destroyed meanwhile.
std::mutex g_classMutex;
int g_windowCount = 0;

HINSTANCE ThisModule();

bool IsNotification(UINT message) {
  return message == kDeliverData || message == kDeliverAuthentication ||
         message == kDeliverConnection;
}

// Owner thread only, except hwnd (fixed once made).
struct WindowState : std::enable_shared_from_this<WindowState> {
  explicit WindowState(Mailbox::Handler h) : handler(std::move(h)) {}
  const Mailbox::Handler handler;
  HWND hwnd = nullptr;
  bool closed = false;        // the Mailbox object is gone
  bool timerArmed = false;    // kResumeTimer is set
  bool resumePosted = false;  // a kResumeMessage waits in the queue
  // What the last handler call returned; true while one runs, so that a Pump
  // made from inside the handler goes on with the work.
  bool workLeft = false;
  uint64_t calls = 0;  // handler calls so far
};

class WindowMailbox final : public Mailbox {
 public:
  explicit WindowMailbox(Handler handler)
      : m_state(std::make_shared<WindowState>(std::move(handler))) {}

  ~WindowMailbox() override {
    std::lock_guard<std::mutex> lock(g_classMutex);
    m_state->closed = true;
    const HWND hwnd = m_state->hwnd;
    if (hwnd != nullptr) {
      // No message reaches the state any more, whichever thread gets it.
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      // Only the owner thread can destroy the window (its timer goes with
      // it); from any other, the owner closes it when it next dispatches.
      if (!DestroyWindow(hwnd)) PostMessageA(hwnd, WM_CLOSE, 0, 0);
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
    m_state->hwnd = CreateWindowExA(0, kClassName, kWindowText, WS_POPUP, 0, 0, 100, 100, nullptr,
                                    nullptr, ThisModule(), m_state.get());
    if (m_state->hwnd == nullptr) {
      *error = GetLastError();
      if (g_windowCount == 0) UnregisterClassA(kClassName, ThisModule());
      return false;
    }
    ++g_windowCount;
    *error = 0;
    return true;
  }

  bool Post(unsigned message) override {
    return PostMessageA(m_state->hwnd, message, 0, 0) != FALSE;
  }

  int Pump() override {
    // Held until the end: a handler may destroy this object.
    const std::shared_ptr<WindowState> state = m_state;
    const HWND hwnd = state->hwnd;
    int handled = 0;
    // Work left first, whether or not its timer is due yet. One slice per
    // Pump: the work a handler call leaves waits for the next one.
    if (state->workLeft) {
      Handle(*state, 0);
      ++handled;
      if (state->closed || state->workLeft) return handled;
    }
    MSG msg;
    while (PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE)) {
      const uint64_t before = state->calls;
      DispatchMessageA(&msg);
      if (state->calls != before) ++handled;
      if (state->closed) break;
      if (state->calls != before && state->workLeft) break;
    }
    return handled;
  }

  intptr_t WaitHandle() const override { return reinterpret_cast<intptr_t>(m_state->hwnd); }

 private:
  // Input, paint or a due timer of this thread waits: the rest of the work
  // continues from the timer, after them.
  static bool ThreadHasOtherWork() {
    return HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT | QS_TIMER | QS_HOTKEY)) != 0;
  }

  // message: the window message that calls the handler, or 0 for Pump's own
  // call for the work left.
  static void Handle(WindowState& raw, UINT message) {
    const std::shared_ptr<WindowState> state = raw.shared_from_this();
    const HWND hwnd = state->hwnd;
    unsigned code = message;
    if (message == WM_TIMER) {
      KillTimer(hwnd, kResumeTimer);
      state->timerArmed = false;
      code = Mailbox::kResume;
    } else if (message == kResumeMessage) {
      state->resumePosted = false;
      code = Mailbox::kResume;
    } else if (message == 0) {
      code = Mailbox::kResume;
    }
    // A continuation that Pump has already served.
    if (code == Mailbox::kResume && !state->workLeft) return;
    // A message loop entered from inside the handler (a callback that waits
    // by dispatching messages) must still get the work this call leaves.
    if (!state->timerArmed) {
      state->timerArmed = SetTimer(hwnd, kResumeTimer, USER_TIMER_MINIMUM, nullptr) != 0;
    }
    state->workLeft = true;
    ++state->calls;
    bool more = false;
    // No exception may unwind through the system's dispatch code.
    try {
      more = state->handler(code);
    } catch (...) {
      more = false;
    }
    if (state->closed) return;
    state->workLeft = more;
    if (!more) {
      if (state->timerArmed) KillTimer(hwnd, kResumeTimer);
      state->timerArmed = false;
    } else if (!state->resumePosted && !ThreadHasOtherWork()) {
      state->resumePosted = PostMessageA(hwnd, kResumeMessage, 0, 0) != FALSE;
    }
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (IsNotification(message) || message == kResumeMessage ||
               (message == WM_TIMER && wParam == kResumeTimer)) {
      auto* state = reinterpret_cast<WindowState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
      if (state == nullptr || !state->handler) return 0;
      try {
        Handle(*state, message);
      } catch (...) {
      }
      return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }

  std::shared_ptr<WindowState> m_state;
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
