// Receive assembly for one connection (sans-I/O).
//
// A reader feeds each chunk it reads (1 to 32 768 bytes) to DispatchReceived,
// which picks the assembler for the current codec flags and frame mode. The
// assemblers keep partial headers, bodies and frames across chunks, decode them
// and hand every complete block of message text to the host's SplitAndDeliver.
// Each connection has its own assembler, so the two streams never mix.
//
// A well-formed stream gives the same blocks however it is cut into chunks:
// a header end, a body, a frame's marker and length digits, its payload and the
// "HTTP" that must follow a frame are all completed from the following chunks.
// Memory stays bounded: bodies above kMaxBodyLength are skipped, header parts
// above kMaxHeaderLength are dropped, and a frame payload has five digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.h"

namespace corvane {

// What an assembler needs from the component that owns it.
class ReceiveHost {
 public:
  virtual ~ReceiveHost() = default;
  virtual bool Compression() const = 0;         // m_bCompression
  virtual bool Encryption() const = 0;          // m_bEncryption
  virtual bool MultiOC() const = 0;             // m_bMultiOC
  virtual bool InteractiveReading() const = 0;  // m_bInteractiveReading
  virtual void SetInteractiveReading() = 0;
  // One complete block of message text (already cut at its first zero byte).
  virtual int SplitAndDeliver(std::string_view block) = 0;
};

class CReceiveAssembler {
 public:
  // A body longer than this is consumed and dropped instead of being held.
  static constexpr int64_t kMaxBodyLength = int64_t{64} << 20;
  // A header part that grows past this without its end is dropped.
  static constexpr size_t kMaxHeaderLength = size_t{64} << 10;

  explicit CReceiveAssembler(ReceiveHost& host);

  int32_t DispatchReceived(int32_t length, const unsigned char* data);

  int32_t ProcessPacket(int32_t length, std::string_view text);
  int32_t ProcessEncryptedPacket(int32_t length, const unsigned char* data);
  int32_t ContinueCompressedFrame(int32_t length, const unsigned char* data);
  int32_t ProcessCompressedFrames(int32_t length, const unsigned char* data);
  int32_t ProcessCompressedEncryptedFrames(int32_t length, const unsigned char* data);

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
  // TunnelWait: the proxy's answer came before the interactive reader was marked.
  enum class HttpEnd : uint8_t { Normal, TunnelWait };

  HttpEnd RunHttp(std::string_view d, bool encrypted, bool fixedKey, int32_t& result);
  // With compression on and the tunnel's answer still awaited: how many bytes
  // at the start of the chunk are (or hold) the proxy's answer.
  size_t TakeProxyAnswer(std::string_view d);
  // After the proxy's answer, whether the chunk continues a held start of the
  // status line; false when it was dropped or the chunk is used up.
  bool ContinueStatusTail(std::string_view& d);
  void DeliverBody(std::string_view body, bool encrypted, bool fixedKey, int32_t& result);
  int32_t ParseFrames(int32_t length, const unsigned char* data, bool encrypted);
  static FrameFit FitFrame(const unsigned char* b, size_t n, size_t s, int64_t len);
  void DecodeFrame(const unsigned char* payload, size_t len, unsigned char marker, int32_t& result);
  void CarryPayload(const unsigned char* b, size_t n, size_t s, int64_t len, unsigned char marker);
  void ClearHttp();
  void ClearFrame();

  ReceiveHost& m_host;

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
  std::string m_strAnswer;           // start of the proxy's answer read as compressed traffic

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
