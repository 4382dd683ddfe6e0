// Receive assembly for one connection (sans-I/O).
//
// The record is driven by its caller, as a zlib stream is: a reader hands each
// chunk it reads (1 to 32 768 bytes) to DispatchReceived together with the
// owner's flags and key choice (ReceiveSettings), and gets back what the chunk
// completed (ReceiveResult): the blocks of message text still encoded, in
// arrival order, and what the owner must change. Everything else in the record
// is the assembler's own; nothing is read from elsewhere while a call runs and
// nothing is called back. receive/feed.h is the owner's side: it decodes the
// blocks with the keys in force and applies the results. Each connection has
// its own assembler, so the two streams never mix.
//
// A well-formed stream gives the same blocks however it is cut into chunks:
// a header end, a body, a frame's marker and length digits, its payload and the
// "HTTP" that must follow a frame are all completed from the following chunks.
// Memory stays bounded: bodies above kMaxBodyLength are skipped, header parts
// above kMaxHeaderLength are dropped, and a frame payload has five digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.h"
#include "receive/proxy_answer.h"

namespace corvane {

// What the owner tells the assembler with each chunk: its codec flags, how the
// proxy's answer is taken, and the session's key choice at the start of the
// call.
struct ReceiveSettings {
  bool compression = false;  // the session's compression flag
  bool encryption = false;   // the session's encryption flag
  bool multiOC = false;      // the broadcast connection is used
  bool reading = false;      // this connection's reading flag
  bool useFixedKey = false;  // the session still reads with the fixed key
};

// How a block's bytes are still encoded. The assembler frames; it never
// decrypts or inflates, so a key that changes between two blocks of one chunk
// (a logon response carries the session key) is the key the later block is
// decoded with.
enum class BlockCodec : uint8_t {
  Plain,    // message text as it came
  Des,      // triple-DES ciphertext; the text ends at its first zero byte
  Zlib,     // a compressed frame's payload
  DesZlib,  // a compressed frame's payload, enciphered
};

struct ReceivedBlock {
  std::string_view bytes;  // valid until the next call on the same assembler
  BlockCodec codec = BlockCodec::Plain;
  bool fixedKey = false;  // Des and DesZlib: the fixed key, else the session key
};

// What one call did. The owner decodes and splits the blocks in order, then
// applies the flags.
struct ReceiveResult {
  std::vector<ReceivedBlock> blocks;
  // The proxy's answer came before the connection's reader was marked: the
  // owner sets the connection's reading flag; the rest of the chunk was
  // dropped.
  bool setReading = false;
  // The call was an encrypted one: the fixed key is no longer in use.
  bool fixedKeyDone = false;
  // -1 when the call ended early (memory exhaustion); blocks found before
  // that are still listed.
  int32_t status = 0;
  // Debug trace lines, in order.
  std::vector<std::string> traces;

  void Clear();
  // Keeps bytes that do not live in the chunk until the next call.
  std::string_view Keep(std::string bytes);

 private:
  std::deque<std::string> m_kept;
};

class CReceiveAssembler {
 public:
  // A body longer than this is consumed and dropped instead of being held.
  static constexpr int64_t kMaxBodyLength = int64_t{64} << 20;
  // A header part that grows past this without its end is dropped.
  static constexpr size_t kMaxHeaderLength = size_t{64} << 10;

  // Takes one chunk: picks the assembler for the codec flags and frame mode,
  // and says what it found. The result is valid until the next call.
  const ReceiveResult& DispatchReceived(int32_t length, const unsigned char* data,
                                        const ReceiveSettings& settings);

  // Back to the reset values (nothing held, frame mode 1, tunnel not taken,
  // no tunnel request).
  void Reset();

  // Whether this connection's latest opening sent a CONNECT request. Only then
  // is the proxy's answer looked for: without a tunnel request the first
  // "HTTP/1.1 200 OK" on the connection is the server's own response.
  void SetTunnelRequested(bool requested) { m_bTunnelRequested = requested; }

  int32_t FrameMode() const { return m_nFrameMode; }

 private:
  // What is held of a compressed frame between chunks (frame mode 0).
  enum class FrameCarry : uint8_t {
    None,     // nothing held
    Header,   // the marker and fewer than five length digits
    Payload,  // part of the payload; m_nFrameRemaining bytes still missing
    Trailer,  // the whole payload, and one to three bytes of "HTTP" after it
  };
  // Where a frame whose payload starts at offset S of the bytes at hand stands.
  enum class FrameFit : uint8_t { AtEnd, BeforeHttp, AwaitHttp, NotFollowed, Cut };
  // TunnelWait: the proxy's answer came before the connection's reader was marked.
  enum class HttpEnd : uint8_t { Normal, TunnelWait };

  int32_t ProcessPacket(int32_t length, std::string_view text);
  int32_t ProcessEncryptedPacket(int32_t length, const unsigned char* data);
  int32_t ContinueCompressedFrame(int32_t length, const unsigned char* data);
  int32_t ProcessCompressedFrames(int32_t length, const unsigned char* data);
  int32_t ProcessCompressedEncryptedFrames(int32_t length, const unsigned char* data);

  HttpEnd RunHttp(std::string_view d, bool encrypted, bool fixedKey);
  // With compression on and the tunnel's answer still awaited: how many bytes
  // at the start of the chunk are (or hold) the proxy's answer.
  size_t TakeProxyAnswer(std::string_view d);
  // After the proxy's answer, whether the chunk continues a held start of the
  // status line; false when it was dropped or the chunk is used up.
  bool ContinueStatusTail(std::string_view& d);
  void DeliverBody(std::string_view body, bool encrypted, bool fixedKey);
  int32_t ParseFrames(int32_t length, const unsigned char* data, bool encrypted);
  static FrameFit FitFrame(const unsigned char* b, size_t n, size_t s, int64_t len);
  void TakeFrame(std::string_view payload, unsigned char marker);
  void CarryPayload(const unsigned char* b, size_t n, size_t s, int64_t len, unsigned char marker);
  void ClearHttp();
  void ClearFrame();

  // The call at hand: its settings and what it found.
  ReceiveSettings m_in;
  ReceiveResult m_result;

  // HTTP-framed traffic (plain and encrypted bodies).
  std::string m_strFragment;         // held header part or first part of a body
  bool m_bFragmentPending = false;   // something is held in m_strFragment
  int64_t m_nRemainingBodyLen = 0;   // 0: header part held; > 0: body bytes missing
  int64_t m_nDiscardRemaining = 0;   // bytes of a skipped body still to consume
  int32_t m_nTunnelEstablished = 0;  // the proxy's answer to CONNECT has been taken
  bool m_bTunnelRequested = false;   // a CONNECT request went out on this connection
  bool m_bStatusTailHeld = false;    // m_strFragment is a start of the status line
                                     // that ended the chunk after the proxy's answer
  bool m_bSeekingStatus = false;     // after the proxy's answer: a success status
                                     // line is searched for, across chunks
  bool m_bHeldFixedKey = false;      // the held response is under the fixed key
  ProxyAnswer m_answer;              // the proxy's answer read as compressed traffic

  // Compressed frames.
  int32_t m_nFrameMode = 1;          // 1: search for frames; 0: a frame is carried
  int64_t m_nFrameLen = 0;           // payload length L of the carried frame
  unsigned char m_nFrameMarker = 0;  // the carried frame's marker: its codec and key
  int64_t m_nFrameCarried = 0;       // payload bytes held
  int64_t m_nFrameRemaining = 0;     // payload bytes still missing
  size_t m_nFrameScanPos = 0;        // where the parser starts in the current chunk
  FrameCarry m_frameCarry = FrameCarry::None;
  unsigned char m_frameHeader[wire::kFramePrefix] = {};  // marker and length digits being completed
  size_t m_nFrameHeaderHeld = 0;
  size_t m_nTrailerHeld = 0;                   // bytes of "HTTP" seen after a whole payload
  std::vector<unsigned char> m_frameCarryBuf;  // grows up to the five-digit length
};

}  // namespace corvane
