// Receive assembly for one connection (sans-I/O).
//
// A reader feeds each chunk it reads (1 to 32 768 bytes) to DispatchReceived,
// which picks the assembler for the current codec flags and frame mode. The
// assemblers keep partial headers, bodies and frames across chunks, decode them
// and hand every complete block of message text to the host's SplitAndDeliver.
// Each connection has its own assembler, so the two streams never mix.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What an assembler needs from the component that owns it.
class ReceiveHost {
 public:
  virtual ~ReceiveHost() = default;
  virtual bool Compression() const = 0;         // m_bCompression
  virtual bool Encryption() const = 0;          // m_bEncryption
  virtual int32_t ProxyEnable() const = 0;      // m_nProxyEnable
  virtual bool ProxyCredentials() const = 0;    // m_bProxyCredentials
  virtual bool MultiOC() const = 0;             // m_bMultiOC
  virtual bool InteractiveReading() const = 0;  // m_bInteractiveReading
  virtual void SetInteractiveReading() = 0;
  // One complete block of message text (already cut at its first zero byte).
  virtual int SplitAndDeliver(std::string_view block) = 0;
};

class CReceiveAssembler {
 public:
  explicit CReceiveAssembler(ReceiveHost& host);

  int32_t DispatchReceived(int32_t length, const unsigned char* data);

  int32_t ProcessPacket(int32_t length, std::string_view text);
  int32_t ProcessEncryptedPacket(int32_t length, const unsigned char* data);
  int32_t ContinueCompressedFrame(int32_t length, const unsigned char* data);
  int32_t ProcessCompressedFrames(int32_t length, const unsigned char* data);
  int32_t ProcessCompressedEncryptedFrames(int32_t length, const unsigned char* data);

  // Back to the reset values (nothing held, frame mode 1, tunnel not taken).
  void Reset();

  int32_t FrameMode() const { return m_nFrameMode; }

 private:
  ReceiveHost& m_host;
  // Implementation state is added here by the receive work.
  int32_t m_nFrameMode = 1;
};

}  // namespace corvane
