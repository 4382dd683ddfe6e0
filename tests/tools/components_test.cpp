// Several components in one process against the sandbox back end, as two
// pages of one browser or of one bridge are: each must log on under the
// fixed key and read its feed with its own session key, whether the other
// came before it or runs beside it.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "component/client.h"
#include "tests/platform/loopback_server.h"
#include "tools/common/backend.h"

namespace corvane::tools {
namespace {

// A back end whose feed starts with the logon response, under the fixed key
// for each new client and the session key after it.
std::unique_ptr<SandboxBackend> CodedBackend(std::string sessionKey) {
  BackendOptions o;
  o.framing = Framing::kCompressedEncrypted;
  o.feedStart = BackendOptions::FeedStart::kConnect;
  o.feedLogon = true;
  o.sessionKey = std::move(sessionKey);
  o.rate = 200;
  o.count = 5;
  auto backend = std::make_unique<SandboxBackend>(o);
  if (!backend->Start(nullptr)) return nullptr;
  return backend;
}

// One page: a component with both connections, compressed and encrypted, and
// what it was told.
struct Page {
  std::string code;
  int data = 0;
  std::unique_ptr<Client> client;

  explicit Page(const SandboxBackend& backend) {
    Client::Handlers on;
    on.authentication = [this](const std::string& c, const std::string&) { code = c; };
    on.data = [this](const std::string& message) {
      if (message.rfind("35=X|", 0) == 0) ++data;
    };
    Client::Options options;
    options.broadcast = true;
    client = Client::Create(options, std::move(on));
    if (client)
      client->Connect("127.0.0.1", static_cast<uint16_t>(backend.InteractivePort()), "127.0.0.1",
                      static_cast<uint16_t>(backend.BroadcastPort()));
  }
  bool Done() const { return code == "10000" && data == 5; }
};

bool PumpUntilDone(std::vector<Page*> pages) {
  return test::WaitUntil([&] {
    bool done = true;
    for (Page* page : pages) {
      page->client->PumpEvents();
      done = done && page->Done();
    }
    return done;
  });
}

TEST(Components, EachLogsOnUnderTheFixedKeyAfterAnother) {
  for (const char* key : {"1111222233334444", "5555666677778888", "9999000011112222"}) {
    SCOPED_TRACE(key);
    auto backend = CodedBackend(key);
    ASSERT_TRUE(backend);
    Page page(*backend);
    ASSERT_TRUE(page.client);
    EXPECT_TRUE(PumpUntilDone({&page})) << "code " << page.code << ", data " << page.data;
  }
}

TEST(Components, SideBySideNeitherReadsWithTheOthersKey) {
  auto first = CodedBackend("1111222233334444");
  auto second = CodedBackend("5555666677778888");
  ASSERT_TRUE(first && second);
  Page a(*first);
  ASSERT_TRUE(a.client);
  // The second page arrives once the first is logged on and reading with its
  // session key; neither may change the other's keys.
  ASSERT_TRUE(test::WaitUntil([&] {
    a.client->PumpEvents();
    return a.code == "10000";
  }));
  Page b(*second);
  ASSERT_TRUE(b.client);
  EXPECT_TRUE(PumpUntilDone({&a, &b})) << "first: code " << a.code << ", data " << a.data
                                       << "; second: code " << b.code << ", data " << b.data;
}

}  // namespace
}  // namespace corvane::tools

#endif
