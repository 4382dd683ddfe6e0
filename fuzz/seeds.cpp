// Writes the seed corpora of the fuzz targets: server streams made as the
// sandbox back end makes them (its logon response, feed messages and the four
// framings, the wire encoder with the component's cipher), cut into reads of
// several sizes, and small valid inputs for the
// codec and parser targets. The files are checked in under fuzz/corpus/; run
// this again (scripts/fuzz seeds) when an encoder or an input format changes.
//
//   fuzz_seeds CORPUS_DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/keys.h"
#include "protocol/encoder.h"
#include "tools/common/backend.h"
#include "tools/common/cipher.h"

namespace {

namespace fs = std::filesystem;
namespace tools = corvane::tools;
namespace wire = corvane::wire;

fs::path g_root;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / ("seed-" + name), std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Logon(const std::string& code, const std::string& extra = std::string()) {
  tools::BackendOptions options;
  options.logonCode = code;
  options.logonExtra = extra;
  return tools::LogonResponseText(options);
}

std::vector<std::string> Feed(int count, int size) {
  std::vector<std::string> messages;
  for (int i = 0; i < count; ++i) messages.push_back(tools::FeedMessage(i + 1, size, 1000 + i));
  return messages;
}

// A session's interactive stream: a logon response, then replies and feed.
std::string Stream(wire::Framing framing, int fixedKeyResponses, int blocks, int size) {
  wire::FrameEncoder encoder(framing, tools::ComponentEncipher, tools::BackendOptions().sessionKey,
                             fixedKeyResponses);
  std::string stream = encoder.Encode(wire::JoinMessages({Logon("10000")}));
  for (int i = 0; i < blocks; ++i) stream += encoder.Encode(wire::JoinMessages(Feed(2, size)));
  return stream;
}

// ---- fuzz_receive_ops programs (see fuzz_receive_ops.cpp for the codes) ----

std::string Op(int op, int arg) { return std::string(1, static_cast<char>(op | arg << 4)); }

std::string FeedOps(int connection, const std::string& stream, size_t chunk) {
  std::string ops;
  for (size_t pos = 0; pos < stream.size(); pos += chunk) {
    const std::string part = stream.substr(pos, chunk);
    const size_t lengthCode = part.size() - 1;
    ops += Op(7, connection);
    ops += static_cast<char>(lengthCode >> 8);
    ops += static_cast<char>(lengthCode & 0xFF);
    ops += part;
    ops += Op(9, 0);
  }
  return ops;
}

std::string FlagOps(wire::Framing framing) {
  return Op(0, wire::FramingCompressed(framing) ? 1 : 0) +
         Op(1, wire::FramingEncrypted(framing) ? 1 : 0) + Op(3, 1);
}

void ReceiveOpsSeeds() {
  const wire::Framing framings[] = {wire::Framing::kPlain, wire::Framing::kCompressed,
                                    wire::Framing::kEncrypted, wire::Framing::kCompressedEncrypted};
  const size_t chunks[] = {32768, 1000, 61, 7};
  for (wire::Framing framing : framings) {
    const std::string name = wire::FramingName(framing);
    for (size_t chunk : chunks) {
      Write("fuzz_receive_ops", name + "-" + std::to_string(chunk),
            FlagOps(framing) + FeedOps(0, Stream(framing, 1, 3, 48), chunk));
    }
    // Through a proxy: the CONNECT answer ahead of the server's stream.
    const std::string tunnel =
        "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n";
    Write("fuzz_receive_ops", name + "-tunnel",
          FlagOps(framing) + Op(2, 1) + Op(6, 2) +
              FeedOps(0, tunnel + Stream(framing, 1, 2, 40), 90));
    // Both connections: the logon on one, the feed on the other, interleaved.
    const std::string interactive = Stream(framing, 1, 0, 0);
    wire::FrameEncoder feed(framing, tools::ComponentEncipher, tools::BackendOptions().sessionKey,
                            0);
    std::string broadcast;
    for (int i = 0; i < 4; ++i) broadcast += feed.Encode(wire::JoinMessages(Feed(3, 100)));
    Write("fuzz_receive_ops", name + "-two-connections",
          FlagOps(framing) + Op(2, 1) + FeedOps(0, interactive, 50) + Op(5, 0) + Op(4, 0) +
              FeedOps(1, broadcast, 333));
  }
  // A body longer than a read, and a flag change between two reads of it.
  const std::string big = wire::Response(wire::JoinMessages({Logon("10000")})) +
                          wire::Response(wire::JoinMessages(Feed(1, 70000)));
  Write("fuzz_receive_ops", "plain-long-body",
        FlagOps(wire::Framing::kPlain) + FeedOps(0, big, 32768));
  const std::string compressed = Stream(wire::Framing::kCompressed, 0, 2, 2000);
  Write("fuzz_receive_ops", "flag-change-mid-frame",
        FlagOps(wire::Framing::kCompressed) + FeedOps(0, compressed.substr(0, 150), 150) +
            Op(0, 0) + Op(8, 1) + FeedOps(0, compressed.substr(150), 4096));
}

// ---- fuzz_receive_diff inputs (see fuzz_receive_diff.cpp for the layout) ----

void ReceiveDiffSeeds() {
  const std::string blocks[] = {Logon("10000"), tools::FeedMessage(1, 60, 5),
                                tools::FeedMessage(2, 300, 6) + "\x02" + "70=10001|58=x"};
  std::string texts;
  for (const std::string& b : blocks) texts += b + '\0';
  const std::string cuts[] = {"", "\x05\x10\x7f", "\x80\x40\x01\x01\x01\x20",
                              std::string("\x00\x00\x00\x00\x00\x00\x00\x00", 8)};
  for (int config = 0; config < 16; ++config) {
    if ((config & 8) != 0 && (config & 4) == 0) continue;  // multi-connection only with a tunnel
    for (size_t c = 0; c < 4; ++c) {
      if ((config + static_cast<int>(c)) % 2 != 0) continue;
      Write("fuzz_receive_diff", "config" + std::to_string(config) + "-cut" + std::to_string(c),
            std::string(1, static_cast<char>(config)) + "\x02" + texts + cuts[c]);
    }
  }
  // Bodies and frames longer than a read: the text repeated 200 and 2000 times.
  Write("fuzz_receive_diff", "plain-repeated",
        std::string(1, static_cast<char>(6 << 5)) + "\x01" + "58=abcdefghij|" + '\0' +
            "\xff\xff\x90");
  Write("fuzz_receive_diff", "compressed-encrypted-repeated",
        std::string(1, static_cast<char>(7 << 5 | 3)) + "\x00" + "58=0123456789|" + '\0' +
            "\x83\x00\x7f");
}

void CodecSeeds() {
  for (size_t size : {1, 40, 1000, 20000}) {
    const std::string text = wire::JoinMessages(Feed(1, static_cast<int>(size)));
    const std::string payload = wire::ZlibPayload(text);
    Write("fuzz_inflate", "payload-" + std::to_string(size), std::string(1, '\0') + payload);
    Write("fuzz_inflate", "text-" + std::to_string(size), "\x01\x06" + text);
    const std::string padded = wire::EncipherPadded(
        text, {tools::ComponentEncipher, corvane::g_strFixedKey, wire::kMarkerFixedKey});
    Write("fuzz_crypt", "fixed-key-" + std::to_string(size),
          std::string(1, 16) + std::string(corvane::g_strFixedKey) + padded);
    Write("fuzz_base64", "bytes-" + std::to_string(size),
          std::string(1, '\0') + padded.substr(0, 300));
    Write("fuzz_base64", "text-" + std::to_string(size),
          "\x01" + corvane::Base64Encode(padded.substr(0, 300)));
  }
  Write("fuzz_inflate", "stored", std::string(1, '\0') + wire::ZlibPayload(std::string(3000, 'a')));
  Write("fuzz_crypt", "short-key", std::string(1, 8) + "12345678" + "\x02" + "70=10000|394=k");
  Write("fuzz_crypt", "session-key",
        std::string(1, 20) + "5820417396284051tail" + "block of sixteen");
  Write("fuzz_base64", "credentials", "\x00user:password");
  Write("fuzz_base64", "spaced", "\x01YWJj\r\nZA==\t");
  Write("fuzz_base64", "padding", "\x01YQ==");
}

void ParserSeeds() {
  const std::string codes[] = {"10000", "10006", "10004", "10019", "10020", "10001",
                               "10010", "10024", "10027", "99999", ""};
  for (const std::string& code : codes) {
    Write("fuzz_logon", "code-" + (code.empty() ? std::string("none") : code),
          "\x01" + Logon(code, "97=5|997=30|19=server text"));
    Write("fuzz_logon", "code-" + (code.empty() ? std::string("none") : code) + "-then-data",
          "\x02" + Logon(code));
  }
  Write("fuzz_logon", "repeated-tag", std::string("\x00", 1) + "70=10001|70=10000|394=a|394");
  Write("fuzz_logon", "tag-first", std::string("\x04", 1) + "394" + '\0' + "70=10000|394=key");

  const char* urls[][3] = {
      {"http://user:pw@proxy.example:3128/", "server.example", "localhost,.example"},
      {"proxy:8080", "10.1.2.3", "10.0.0.0/8"},
      {"socks5://[::1]:1080", "host", "*"},
      {"  http://proxy  ", "a.b.c", "b.c:443 other"},
      {"http://:3128", "x", ""},
      {"10.1.1.1:8080", "10.1.1.1", "10.1.1.1/32,,"},
  };
  int i = 0;
  for (const auto& u : urls) {
    Write("fuzz_proxy_settings", "case-" + std::to_string(i++),
          std::string(u[0]) + '\0' + u[1] + '\0' + u[2]);
  }

  std::ifstream rgs(fs::path(CORVANE_SOURCE_DIR) / "com" / "corvane.rgs", std::ios::binary);
  const std::string script((std::istreambuf_iterator<char>(rgs)), std::istreambuf_iterator<char>());
  Write("fuzz_registrar", "corvane-rgs", std::string(1, '\0') + script);
  Write("fuzz_registrar", "values",
        std::string(1, '\0') +
            "HKCU { NoRemove Software { ForceRemove 'It''s' = d '0x10' { val 'n' = s '%%' "
            "val x = d 42 } } }");
  std::string wide(1, '\1');
  for (char c : std::string("HKLM { k = s '%MODULE%' }")) {
    wide += '\0';
    wide += c;
  }
  Write("fuzz_registrar", "wide", wide);
  Write("fuzz_registrar", "unterminated", std::string(1, '\0') + "HKCR { 'a");

  const std::string hosts[] = {"127.0.0.1", "server.example"};
  for (int flags = 0; flags < 8; ++flags) {
    Write("fuzz_request", "flags-" + std::to_string(flags),
          std::string(1, static_cast<char>(flags)) + hosts[flags % 2] + '\0' +
              "35=A|553=user|554=pw" + '\0' + "dXNlcjpwdw==" + '\0');
  }
  Write("fuzz_request", "zero-in-message",
        std::string("\x06", 1) + "h" + '\0' + "a\xff" + "b" + '\0');
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds CORPUS_DIR\n");
    return 2;
  }
  g_root = argv[1];
  ReceiveOpsSeeds();
  ReceiveDiffSeeds();
  CodecSeeds();
  ParserSeeds();
  return 0;
}
