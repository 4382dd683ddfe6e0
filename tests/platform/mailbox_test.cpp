// Both owner-thread mailboxes. Win32: a hidden window that hands posted
// notifications to its owner thread. POSIX: a locked queue and an eventfd
// that is readable while notifications wait.
#include "platform/mailbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace corvane::test {
namespace {

#ifdef _WIN32

constexpr unsigned kData = WM_USER + 101;
constexpr unsigned kAuthentication = WM_USER + 102;

TEST(Win32Mailbox, DeliversOnTheOwnerThreadInOrder) {
  std::vector<unsigned> seen;
  std::vector<DWORD> threads;
  int32_t error = -1;
  auto mailbox = CreateMailbox(
      [&](unsigned message) {
        seen.push_back(message);
        threads.push_back(GetCurrentThreadId());
      },
      &error);
  ASSERT_NE(mailbox, nullptr);
  EXPECT_EQ(error, 0);

  std::thread reader([&] {
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(mailbox->Post(i % 3 == 0 ? kAuthentication : kData));
  });
  reader.join();
  EXPECT_TRUE(seen.empty());  // nothing runs before the owner dispatches
  EXPECT_EQ(mailbox->Pump(), 50);
  ASSERT_EQ(seen.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[i], i % 3 == 0 ? kAuthentication : kData);
  for (DWORD id : threads) EXPECT_EQ(id, GetCurrentThreadId());
  EXPECT_EQ(mailbox->Pump(), 0);
}

TEST(Win32Mailbox, IsAHiddenPopupWindow) {
  auto mailbox = CreateMailbox([](unsigned) {}, nullptr);
  ASSERT_NE(mailbox, nullptr);
  HWND hwnd = reinterpret_cast<HWND>(mailbox->WaitHandle());
  ASSERT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), GetCurrentThreadId());
  char text[64] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  EXPECT_STREQ(text, "CComponentMethods");
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetParent(hwnd), nullptr);
  EXPECT_NE(GetWindowLongW(hwnd, GWL_STYLE) & WS_POPUP, 0);
  mailbox.reset();
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST(Win32Mailbox, AnOrdinaryMessageLoopDelivers) {
  int handled = 0;
  auto mailbox = CreateMailbox([&](unsigned) { ++handled; }, nullptr);
  ASSERT_NE(mailbox, nullptr);
  mailbox->Post(kData);
  mailbox->Post(kAuthentication);
  // What a host's loop does: take the thread's messages and dispatch them.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_EQ(handled, 2);
}

TEST(Win32Mailbox, OtherMessagesAreNotNotifications) {
  std::vector<unsigned> seen;
  auto mailbox = CreateMailbox([&](unsigned message) { seen.push_back(message); }, nullptr);
  ASSERT_NE(mailbox, nullptr);
  mailbox->Post(WM_USER + 100);
  mailbox->Post(WM_USER + 104);
  mailbox->Post(kData);
  // WM_DELIVER_CONNECTION (a connection event queued off the owner thread)
  // is one of the notifications.
  mailbox->Post(WM_USER + 103);
  EXPECT_EQ(mailbox->Pump(), 2);
  EXPECT_EQ(seen, (std::vector<unsigned>{kData, WM_USER + 103}));
}

TEST(Win32Mailbox, AThrowingHandlerDoesNotStopDelivery) {
  int calls = 0;
  auto mailbox = CreateMailbox(
      [&](unsigned) {
        ++calls;
        throw std::runtime_error("handler failed");
      },
      nullptr);
  ASSERT_NE(mailbox, nullptr);
  mailbox->Post(kData);
  mailbox->Post(kData);
  EXPECT_EQ(mailbox->Pump(), 2);
  EXPECT_EQ(calls, 2);
}

TEST(Win32Mailbox, PostAfterDestructionIsLost) {
  auto mailbox = CreateMailbox([](unsigned) {}, nullptr);
  ASSERT_NE(mailbox, nullptr);
  HWND hwnd = reinterpret_cast<HWND>(mailbox->WaitHandle());
  mailbox.reset();
  EXPECT_FALSE(PostMessageA(hwnd, kData, 0, 0));
}

TEST(Win32Mailbox, DestroyedOnAnotherThreadTheOwnerClosesIt) {
  int handled = 0;
  auto mailbox = CreateMailbox([&](unsigned) { ++handled; }, nullptr);
  ASSERT_NE(mailbox, nullptr);
  HWND hwnd = reinterpret_cast<HWND>(mailbox->WaitHandle());
  mailbox->Post(kData);
  std::thread([&] { mailbox.reset(); }).join();
  // The pending notification no longer reaches the destroyed mailbox, and the
  // owner's next dispatch closes the window.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_EQ(handled, 0);
  EXPECT_FALSE(IsWindow(hwnd));
  // A new mailbox works as before.
  mailbox = CreateMailbox([&](unsigned) { ++handled; }, nullptr);
  ASSERT_NE(mailbox, nullptr);
  mailbox->Post(kData);
  EXPECT_EQ(mailbox->Pump(), 1);
  EXPECT_EQ(handled, 1);
}

TEST(Win32Mailbox, MailboxesOnSeveralThreads) {
  // Each thread owns its window; the shared class survives the others.
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 5; ++round) {
        int mine = 0;
        auto mailbox = CreateMailbox([&](unsigned) { ++mine; }, nullptr);
        ASSERT_NE(mailbox, nullptr);
        mailbox->Post(kData);
        mailbox->Pump();
        EXPECT_EQ(mine, 1);
        delivered += mine;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(delivered.load(), 20);
}

#else

constexpr unsigned kData = 1;
constexpr unsigned kAuthentication = 2;

bool Readable(intptr_t handle) {
  pollfd p{static_cast<int>(handle), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Posts from reader threads are handled on the owner thread, in the order
// each thread posted them; the descriptor is readable exactly while
// notifications wait.
TEST(PosixMailbox, DeliversOnTheOwnerThreadInOrder) {
  std::vector<unsigned> seen;
  std::vector<std::thread::id> threads;
  int32_t error = -1;
  auto mailbox = CreateMailbox(
      [&](unsigned message) {
        seen.push_back(message);
        threads.push_back(std::this_thread::get_id());
      },
      &error);
  ASSERT_NE(mailbox, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(Readable(mailbox->WaitHandle()));

  std::vector<std::thread> readers;
  for (unsigned r = 0; r < 4; ++r) {
    readers.emplace_back([&, r] {
      for (unsigned i = 0; i < 250; ++i) EXPECT_TRUE(mailbox->Post(r * 1000 + i));
    });
  }
  for (std::thread& t : readers) t.join();
  EXPECT_TRUE(seen.empty());  // nothing runs before the owner pumps
  EXPECT_TRUE(Readable(mailbox->WaitHandle()));
  EXPECT_EQ(mailbox->Pump(), 1000);
  EXPECT_FALSE(Readable(mailbox->WaitHandle()));
  ASSERT_EQ(seen.size(), 1000u);
  std::vector<unsigned> next(4, 0);
  for (unsigned message : seen) {
    const unsigned r = message / 1000;
    EXPECT_EQ(message % 1000, next[r]++) << "reader " << r;
  }
  for (std::thread::id id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(mailbox->Pump(), 0);
}

// However many notifications wait, one signal is outstanding: the counter
// behind the descriptor holds 1, and a host that drains it once sees them all.
TEST(PosixMailbox, OneSignalForManyNotifications) {
  int handled = 0;
  auto mailbox = CreateMailbox([&](unsigned) { ++handled; }, nullptr);
  ASSERT_NE(mailbox, nullptr);
  for (int i = 0; i < 5000; ++i) mailbox->Post(kData);
  uint64_t counter = 0;
  ASSERT_EQ(read(static_cast<int>(mailbox->WaitHandle()), &counter, sizeof counter),
            static_cast<ssize_t>(sizeof counter));
  EXPECT_EQ(counter, 1u);
  EXPECT_EQ(mailbox->Pump(), 5000);
  EXPECT_EQ(handled, 5000);
}

// A handler that posts (a callback that causes another event) is handled by
// the next pump, and the descriptor says so: no wake-up is lost.
TEST(PosixMailbox, PostFromAHandlerWakesTheNextPump) {
  std::vector<unsigned> seen;
  std::unique_ptr<Mailbox> mailbox;
  mailbox = CreateMailbox(
      [&](unsigned message) {
        seen.push_back(message);
        if (message == kAuthentication) mailbox->Post(kData);
      },
      nullptr);
  ASSERT_NE(mailbox, nullptr);
  mailbox->Post(kAuthentication);
  EXPECT_EQ(mailbox->Pump(), 1);
  EXPECT_TRUE(Readable(mailbox->WaitHandle()));
  EXPECT_EQ(mailbox->Pump(), 1);
  EXPECT_EQ(seen, (std::vector<unsigned>{kAuthentication, kData}));
  EXPECT_FALSE(Readable(mailbox->WaitHandle()));
}

#endif

}  // namespace
}  // namespace corvane::test
