// The Win32 mailbox: a hidden window that hands posted notifications to its
// owner thread.
#include "platform/mailbox.h"

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/com/com_test_util.h"

namespace corvane::test {
namespace {

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
  mailbox->Post(WM_USER + 103);
  mailbox->Post(kData);
  EXPECT_EQ(mailbox->Pump(), 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], kData);
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

}  // namespace
}  // namespace corvane::test
