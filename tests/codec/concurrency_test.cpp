// Both reader threads decode at the same time: decryption and inflation share
// only the lazily built DES tables, which must come out the same for each
// thread. Run under the thread sanitizer build to check for races.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codec/des.h"
#include "codec/inflate.h"
#include "codec/keys.h"

namespace corvane {
namespace {

TEST(CodecConcurrency, ReaderThreadsDecodeAtOnce) {
  std::string text =
      "\x02"
      "70=10000|97=Logon success|394=1234567890123456|";
  text.resize((text.size() + 8) / 8 * 8, '\0');
  const auto* plain = reinterpret_cast<const unsigned char*>(text.data());
  const auto n = static_cast<int32_t>(text.size());
  auto cipher = CryptText(1, g_strFixedKey, plain, n);
  ASSERT_NE(cipher, nullptr);

  std::vector<unsigned char> payload(compressBound(static_cast<uLong>(n)));
  uLongf payloadLength = static_cast<uLongf>(payload.size());
  ASSERT_EQ(compress(payload.data(), &payloadLength, plain, static_cast<uLong>(n)), Z_OK);

  const std::string expected(text.c_str());
  auto worker = [&](int* failures) {
    for (int i = 0; i < 200; ++i) {
      auto out = DecryptText(g_strFixedKey, cipher.get(), n);
      if (out == nullptr || std::string(reinterpret_cast<char*>(out.get())) != expected) {
        ++*failures;
      }
      if (InflateText(payload.data(), static_cast<int32_t>(payloadLength)) != expected) {
        ++*failures;
      }
    }
  };
  int failures1 = 0, failures2 = 0;
  std::thread interactive(worker, &failures1);
  std::thread broadcast(worker, &failures2);
  interactive.join();
  broadcast.join();
  EXPECT_EQ(failures1, 0);
  EXPECT_EQ(failures2, 0);
}

}  // namespace
}  // namespace corvane
