// The debug trace lines of the assembler (natively they go to standard error
// when CORVANE_TRACE is set; on Windows to the debugger, not checked here).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "streams.h"

#ifndef _WIN32

namespace corvane::test {
namespace {

// Set before any test runs: the trace reads the variable once.
const bool kTraceOn = [] { return setenv("CORVANE_TRACE", "1", 1) == 0; }();

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

std::string TraceOf(const std::string& stream, std::vector<size_t> chunks) {
  RecordingHost host;
  HostedAssembler assembler(host);
  testing::internal::CaptureStderr();
  Feed(assembler, stream, chunks);
  return testing::internal::GetCapturedStderr();
}

TEST(ReceiveTrace, HeaderEndCutAfterItsFirstCr) {
  ASSERT_TRUE(kTraceOn);
  const std::string response = Response(JoinMessages({"ABCD"}), kFeedLines);
  const size_t cr = response.find("\r\n\r\n") + 1;
  EXPECT_EQ(Count(TraceOf(response, {cr, 4096}), "ProcessPacket - Fragment Issue!!!\n"), 1u);
  EXPECT_EQ(Count(TraceOf(response, {4096}), "Fragment Issue"), 0u);
}

TEST(ReceiveTrace, DroppedPartsAreTraced) {
  const std::string body = TraceOf(
      wire::ResponseHeader(static_cast<size_t>(CReceiveAssembler::kMaxBodyLength) + 1, kFeedLines),
      {4096});
  EXPECT_NE(body.find("dropped"), std::string::npos) << body;
  const std::string header =
      TraceOf(std::string(CReceiveAssembler::kMaxHeaderLength + 1, 'h'), {4096});
  EXPECT_NE(header.find("dropped"), std::string::npos) << header;
}

}  // namespace
}  // namespace corvane::test

#endif
