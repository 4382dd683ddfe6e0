// HTTP-framed plain traffic: responses whole, cut, skipped, and the proxy's
// answer to CONNECT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "streams.h"

namespace corvane::test {
namespace {

using Blocks = std::vector<std::string>;

const std::string kBody5 = std::string(1, kStx) + "ABCD";
const std::string kOther = JoinMessages({"70=1|x=2"});

struct PlainCase {
  const char* name;
  std::string stream;
  std::vector<size_t> chunks;  // chunk sizes, the last repeating
  Blocks expected;
};

class PlainStreams : public ::testing::TestWithParam<PlainCase> {};

TEST_P(PlainStreams, DeliversTheBodies) {
  const PlainCase& c = GetParam();
  RecordingHost host;
  HostedAssembler assembler(host);
  Feed(assembler, c.stream, c.chunks);
  EXPECT_EQ(host.blocks, c.expected);
}

// An error response between the feed's header lines, with or without a length.
std::string Http404(std::string_view body, bool withLength) {
  std::string head = "HTTP/1.1 404 Not Found\r\nServer: feed\r\n";
  if (withLength) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return head + "Connection: keep-alive\r\n\r\n" + std::string(body);
}

const std::string kResponse = Response(kBody5, kFeedLines);
const std::string kBig = MessageText(70000, 7);

INSTANTIATE_TEST_SUITE_P(
    Receive, PlainStreams,
    ::testing::Values(
        PlainCase{"one_response", kResponse, {kResponse.size()}, {kBody5}},
        PlainCase{
            "two_in_one_chunk", kResponse + Response(kOther, kFeedLines), {4096}, {kBody5, kOther}},
        // Cut inside "Content-Length:": held as a header part, then completed.
        PlainCase{
            "cut_in_content_length", kResponse, {kResponse.find("Length") + 2, 4096}, {kBody5}},
        // 70 000 bytes over three chunks, and a response after the body.
        PlainCase{"body_over_three_chunks",
                  Response(std::string(1, kStx) + kBig, kFeedLines) + Response(kOther, kFeedLines),
                  {30000, 30000, 32768},
                  {std::string(1, kStx) + kBig, kOther}},
        // A 200 response without a length has an empty body; parsing goes on.
        PlainCase{"no_content_length",
                  "HTTP/1.1 200 OK\r\nServer: feed\r\nConnection: keep-alive\r\n\r\n" +
                      Response(kOther, kFeedLines),
                  {4096},
                  {"", kOther}},
        // Only a status line and the header end: no status match, rest dropped.
        PlainCase{"status_line_only",
                  "HTTP/1.1 200 OK\r\n\r\n" + Response(kOther, kFeedLines),
                  {4096},
                  {}},
        // Not a success and no length: nothing to resynchronise on.
        PlainCase{"error_without_length",
                  Http404("oops", false) + Response(kOther, kFeedLines),
                  {4096},
                  {}},
        // Not a success but with a length: skipped whole, the next one delivered.
        PlainCase{
            "error_with_length_skipped",
            Response(kBody5, kFeedLines) + Http404("not here", true) + Response(kOther, kFeedLines),
            {4096},
            {kBody5, kOther}},
        PlainCase{"error_body_cut_across_chunks",
                  Http404(std::string(5000, 'x'), true) + Response(kOther, kFeedLines),
                  {1000},
                  {kOther}},
        // Content-Length 0: an empty body, then the next response, in 7-byte chunks.
        PlainCase{"zero_length_body",
                  wire::ResponseHeader(0, kFeedLines) + Response(kOther, kFeedLines),
                  {7},
                  {"", kOther}}),
    [](const ::testing::TestParamInfo<PlainCase>& info) { return std::string(info.param.name); });

TEST(PlainReceive, ZeroByteEndsTheChunkText) {
  RecordingHost host;
  HostedAssembler assembler(host);
  // The zero byte cuts the chunk: the second response is never seen.
  std::string chunk = kResponse + '\0' + Response(kOther, kFeedLines);
  assembler.DispatchReceived(static_cast<int32_t>(chunk.size()),
                             reinterpret_cast<const unsigned char*>(chunk.data()));
  EXPECT_EQ(host.blocks, Blocks{kBody5});
}

TEST(PlainReceive, FullSizeChunkWithoutTerminator) {
  RecordingHost host;
  HostedAssembler assembler(host);
  const std::string body = std::string(1, kStx) + MessageText(32768, 3);
  const std::string stream = Response(body, kFeedLines);
  // The chunk is exactly the reader's buffer: no zero byte after it to stop at.
  const std::vector<unsigned char> exact(stream.begin(), stream.begin() + 32768);
  assembler.DispatchReceived(32768, exact.data());
  EXPECT_TRUE(host.blocks.empty());
  FeedWhole(assembler, stream.substr(32768));
  EXPECT_EQ(host.blocks, Blocks{body});
}

// Every cut of the header end, CR LF CR LF, gives the same body.
TEST(PlainReceive, HeaderEndCutAnywhere) {
  const std::string stream = kResponse + Response(kOther, kFeedLines);
  const size_t end = kResponse.find("\r\n\r\n");
  for (size_t cut = end; cut <= end + 4; ++cut) {
    RecordingHost host;
    HostedAssembler assembler(host);
    Feed(assembler, stream, {cut, 4096});
    EXPECT_EQ(host.blocks, (Blocks{kBody5, kOther})) << "cut after byte " << cut;
  }
}

// The same byte by byte, and with the header end spread over three chunks.
TEST(PlainReceive, HeaderEndInSingleBytes) {
  const std::string stream = kResponse + Response(kOther, kFeedLines);
  RecordingHost host;
  HostedAssembler assembler(host);
  Feed(assembler, stream, {1});
  EXPECT_EQ(host.blocks, (Blocks{kBody5, kOther}));

  const size_t end = kResponse.find("\r\n\r\n");
  RecordingHost host2;
  HostedAssembler assembler2(host2);
  Feed(assembler2, stream, {end + 1, 2, 4096});  // CR | LF CR | LF ...
  EXPECT_EQ(host2.blocks, (Blocks{kBody5, kOther}));
}

// ---- The proxy's answer to CONNECT ----

const std::string kProxyAnswer = "HTTP/1.0 200 Connection established\r\nProxy-agent: p\r\n\r\n";

struct ProxyCase {
  const char* name;
  bool encrypted;
  bool multiOC;
  bool readingBefore;
  bool delivered;  // the response after the answer is delivered
  bool readingAfter;
  bool secondDelivers;  // the answer and the response once more
};

class ProxyAnswer : public ::testing::TestWithParam<ProxyCase> {};

// A connection whose CONNECT request went out takes the proxy's answer by the
// reading flag rule of its framing.
TEST_P(ProxyAnswer, FollowsTheReadingFlagRule) {
  const ProxyCase& c = GetParam();
  RecordingHost host;
  host.SetSessionKey(kSessionKey);
  host.UseFixedKey(false);
  host.encryption = c.encrypted;
  host.multiOC = c.multiOC;
  host.reading = c.readingBefore;
  HostedAssembler assembler(host);
  assembler.SetTunnelRequested(true);
  const std::string text = JoinMessages({"70=10000"});
  const std::string response = c.encrypted ? Response(EncryptedBody(text, kSession), kFeedLines)
                                           : Response(text, kFeedLines);
  FeedWhole(assembler, kProxyAnswer + "junk bytes" + response);
  EXPECT_EQ(host.blocks, c.delivered ? Blocks{text} : Blocks{});
  EXPECT_EQ(host.reading, c.readingAfter);

  // Once the tunnel is taken, a second answer is an ordinary foreign status
  // that ends the chunk; while it is not, the answer is looked for again.
  host.blocks.clear();
  FeedWhole(assembler, kProxyAnswer + response);
  EXPECT_EQ(host.blocks, c.secondDelivers ? Blocks{text} : Blocks{}) << "second pass";
}

INSTANTIATE_TEST_SUITE_P(
    Receive, ProxyAnswer,
    ::testing::Values(
        // name, encrypted, multiOC, reading before, delivered, reading after,
        // second pass delivers
        ProxyCase{"plain_reading_set", false, false, true, true, true, false},
        ProxyCase{"plain_reading_clear", false, false, false, false, true, true},
        ProxyCase{"encrypted_single_reading_clear", true, false, false, true, false, false},
        ProxyCase{"encrypted_multi_reading_clear", true, true, false, false, true, true},
        ProxyCase{"encrypted_multi_reading_set", true, true, true, true, true, false}),
    [](const ::testing::TestParamInfo<ProxyCase>& info) { return std::string(info.param.name); });

// Without a CONNECT request (a direct connection, or a proxy without
// credentials) there is no answer to wait for: the first "HTTP/1.1 200 OK" is
// the server's logon response and is delivered, and a proxy-style answer is a
// foreign status line.
TEST(ProxyAnswerWithoutTunnel, TheFirstSuccessResponseIsTheServers) {
  const std::string logon = JoinMessages({"70=10000"});
  const std::string next = JoinMessages({"1=a"});
  for (const bool encrypted : {false, true}) {
    for (const bool tunnel : {false, true}) {
      SCOPED_TRACE(std::string(encrypted ? "encrypted" : "plain") +
                   (tunnel ? ", tunnel requested" : ", no tunnel request"));
      RecordingHost host;
      host.SetSessionKey(kSessionKey);
      host.UseFixedKey(false);
      host.encryption = encrypted;
      HostedAssembler assembler(host);
      assembler.SetTunnelRequested(tunnel);
      auto respond = [&](const std::string& text) {
        return encrypted ? Response(EncryptedBody(text, kSession), kFeedLines)
                         : Response(text, kFeedLines);
      };
      FeedWhole(assembler, respond(logon) + respond(next));
      // With a tunnel request the first success response is taken as the
      // proxy's answer, as documented; without one nothing is skipped.
      EXPECT_EQ(host.blocks, tunnel ? Blocks{next} : (Blocks{logon, next}));

      host.blocks.clear();
      HostedAssembler fresh(host);
      fresh.SetTunnelRequested(tunnel);
      FeedWhole(fresh, kProxyAnswer + respond(logon));
      EXPECT_EQ(host.blocks, tunnel ? Blocks{logon} : Blocks{});
    }
  }
}

// The answer to CONNECT usually arrives before the script's first request,
// while compression and encryption still hold their reset values. It is taken
// there, cut anywhere, and the server's responses after it are all delivered:
// the logon response in plain HTTP after the request switched the flags off,
// a compressed frame in the answer's own chunk. An answer read alone is no
// encrypted call: the fixed key still serves the first one.
TEST(ProxyAnswerUnderCompression, TakenWhateverTheCut) {
  const std::string logon = JoinMessages({"70=10000|71=Logon success"});
  const std::string reply = JoinMessages({"1=quote"});
  for (const bool encryption : {false, true}) {
    for (size_t cut = 0; cut <= kProxyAnswer.size(); ++cut) {
      SCOPED_TRACE(std::string(encryption ? "compressed and encrypted" : "compressed") +
                   ", answer cut after byte " + std::to_string(cut));
      RecordingHost host;
      host.SetSessionKey(kSessionKey);
      host.UseFixedKey(true);
      host.compression = true;
      host.encryption = encryption;
      HostedAssembler assembler(host);
      assembler.SetTunnelRequested(true);
      if (cut > 0) FeedWhole(assembler, kProxyAnswer.substr(0, cut));
      if (cut < kProxyAnswer.size()) FeedWhole(assembler, kProxyAnswer.substr(cut));
      EXPECT_EQ(host.UsingFixedKey(), 1);
      // setEncryption(1) after the logon request: the response is encrypted
      // under the fixed key.
      host.compression = false;
      host.encryption = encryption;
      FeedWhole(assembler, encryption ? Response(EncryptedBody(logon, kFixed), kFeedLines)
                                      : Response(logon, kFeedLines));
      host.encryption = false;
      FeedWhole(assembler, Response(reply, kFeedLines));
      EXPECT_EQ(host.blocks, (Blocks{logon, reply}));
    }
  }
}

TEST(ProxyAnswerUnderCompression, FramesAfterTheAnswerAndRefusals) {
  const std::string text = JoinMessages({"9=1"});
  struct Case {
    const char* name;
    std::string answer;
  };
  const Case cases[] = {
      {"established", kProxyAnswer},
      {"ok", "HTTP/1.1 200 OK\r\n\r\n"},
      // A refusal is consumed; what follows is searched for frames as before.
      {"refused", "HTTP/1.0 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingHost host;
    host.compression = true;
    HostedAssembler assembler(host);
    assembler.SetTunnelRequested(true);
    FeedWhole(assembler, c.answer + Response(CompressedFrame(text), kFeedLines));
    EXPECT_EQ(host.blocks, Blocks{text});
  }
  // Without a tunnel request nothing is taken for an answer: the frame parser
  // sees the bytes as before.
  RecordingHost host;
  host.compression = true;
  HostedAssembler assembler(host);
  FeedWhole(assembler, kProxyAnswer + Response(CompressedFrame(text), kFeedLines));
  EXPECT_EQ(host.blocks, Blocks{text});
}

// After the answer only "HTTP/1.1 200 OK" is looked for; a status line cut by
// the chunk end is completed by the next chunk (or the ones after) rather
// than lost.
TEST(PlainReceive, StatusLineCutAfterTunnel) {
  const std::string text = JoinMessages({"A"});
  const std::string stream = kProxyAnswer + Response(text, kFeedLines);
  for (size_t cut = kProxyAnswer.size(); cut < kProxyAnswer.size() + 16; ++cut) {
    for (size_t second : {size_t{1}, size_t{3}, size_t{4096}}) {
      RecordingHost host;
      HostedAssembler assembler(host);
      assembler.SetTunnelRequested(true);
      Feed(assembler, stream, {cut, second, 4096});
      EXPECT_EQ(host.blocks, Blocks{text}) << "cut after byte " << cut << ", then " << second;
    }
  }
}

// A tail after the answer that looks like the start of the status line but is
// not followed by the rest of it is dropped; the next chunk is read afresh.
TEST(PlainReceive, FalseStatusTailAfterTunnelIsDropped) {
  const std::string text = JoinMessages({"A"});
  struct Case {
    const char* tail;
    std::string next;
  };
  const Case cases[] = {
      {"HTTP/1.1 2", Response(text, kFeedLines)},
      {"H", Response(text, kFeedLines)},
      {"HTTP/1.1 200 O", Response(text, kFeedLines)},
      // The tail goes on for a while before it turns out to be something else.
      {"HTTP/", "1." + Response(text, kFeedLines)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    RecordingHost host;
    HostedAssembler assembler(host);
    assembler.SetTunnelRequested(true);
    FeedWhole(assembler, kProxyAnswer + c.tail);
    EXPECT_TRUE(host.blocks.empty());
    Feed(assembler, c.next, {2, 4096});
    EXPECT_EQ(host.blocks, Blocks{text});
  }
}

// After the answer, what precedes a success status line is dropped (an error
// response included) however the chunks cut it: an error response cut by the
// chunk end, right after the answer or after the first success response, or
// the answer itself ending a chunk, does not take the success response after
// it along. Found by fuzz_receive_diff.
TEST(ProxyAnswerWithTunnel, SkippedBytesMaySpanChunks) {
  const std::string first = JoinMessages({"70=10000"});
  const std::string second = JoinMessages({"1=a"});
  const std::string notFound = Http404("not here!", true);
  for (const bool encrypted : {false, true}) {
    auto respond = [&](const std::string& text) {
      return encrypted ? Response(EncryptedBody(text, kSession), kFeedLines)
                       : Response(text, kFeedLines);
    };
    const std::string stream =
        kProxyAnswer + notFound + respond(first) + notFound + respond(second);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
      for (const size_t next : {size_t{5}, size_t{4096}}) {
        RecordingHost host;
        host.SetSessionKey(kSessionKey);
        host.UseFixedKey(false);
        host.encryption = encrypted;
        HostedAssembler assembler(host);
        assembler.SetTunnelRequested(true);
        Feed(assembler, stream, {cut, next});
        EXPECT_EQ(host.blocks, (Blocks{first, second}))
            << (encrypted ? "encrypted" : "plain") << ", cut after byte " << cut << ", then "
            << next;
      }
    }
  }
}

// ---- Bounded memory ----

TEST(PlainReceive, OverlongBodyIsSkipped) {
  RecordingHost host;
  HostedAssembler assembler(host);
  const int64_t len = CReceiveAssembler::kMaxBodyLength + 1;
  const std::string head = wire::ResponseHeader(static_cast<size_t>(len), kFeedLines);
  FeedWhole(assembler, head);
  const std::string filler(32768, 'z');
  int64_t left = len;
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, 32768));
    assembler.DispatchReceived(static_cast<int32_t>(n),
                               reinterpret_cast<const unsigned char*>(filler.data()));
    left -= static_cast<int64_t>(n);
  }
  FeedWhole(assembler, Response(kOther, kFeedLines));
  EXPECT_EQ(host.blocks, Blocks{kOther});
}

TEST(PlainReceive, BodyAtTheLimitIsDelivered) {
  RecordingHost host;
  HostedAssembler assembler(host);
  const std::string body =
      std::string(1, kStx) +
      std::string(static_cast<size_t>(CReceiveAssembler::kMaxBodyLength) - 1, 'b');
  Feed(assembler, Response(body, kFeedLines) + Response(kOther, kFeedLines), {32768});
  ASSERT_EQ(host.blocks.size(), 2u);
  EXPECT_TRUE(host.blocks[0] == body);
  EXPECT_EQ(host.blocks[1], kOther);
}

TEST(PlainReceive, OverlongHeaderIsDropped) {
  RecordingHost host;
  HostedAssembler assembler(host);
  // A header part that never ends: it is dropped at the limit, not kept.
  Feed(assembler, std::string(CReceiveAssembler::kMaxHeaderLength + 1, 'h'), {1000});
  // What follows the dropped part is read as a fresh response.
  FeedWhole(assembler, Response(kOther, kFeedLines));
  EXPECT_EQ(host.blocks, Blocks{kOther});
}

}  // namespace
}  // namespace corvane::test
