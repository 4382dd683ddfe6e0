// The owner's side of a receive assembler.
//
// An owner (the component, a replay, a test) keeps the codec flags and the
// interactive reading flag, and takes the message text. FeedChunk runs one
// chunk through an assembler for it: the settings come from the owner and
// from the process's key choice, the blocks are decoded one at a time with
// the keys in force at that moment (splitting a logon response may set the
// session key that the next block of the same chunk needs), and the results
// are applied: the reading flag, the end of the fixed key's use, the trace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "receive/assembler.h"

namespace corvane {

class ReceiveHost {
 public:
  virtual ~ReceiveHost() = default;
  virtual bool Compression() const = 0;         // m_bCompression
  virtual bool Encryption() const = 0;          // m_bEncryption
  virtual bool MultiOC() const = 0;             // m_bMultiOC
  virtual bool InteractiveReading() const = 0;  // m_bInteractiveReading
  virtual void SetInteractiveReading() = 0;
  // One complete block of message text (already cut at its first zero byte).
  // Runs on the thread that called FeedChunk; its result is FeedChunk's.
  virtual int SplitAndDeliver(std::string_view block) = 0;
};

// The text of an encoded block: deciphered with key (the fixed key or the
// session key, as the block chose) and cut at its first zero byte, or
// inflated. Empty when decryption fails: there is nothing to deliver.
std::optional<std::string> DecodeBlock(const ReceivedBlock& block, std::string_view key);

// Returns -1 when the assembler's call ended early, else the result of the
// last SplitAndDeliver of a deciphered or inflated block (0 when there was
// none): plain bodies do not set it.
int32_t FeedChunk(CReceiveAssembler& assembler, ReceiveHost& host, int32_t length,
                  const unsigned char* data);

// An assembler together with the owner it is fed for: the tools, tests and
// benchmarks that feed streams without a component.
class HostedAssembler {
 public:
  explicit HostedAssembler(ReceiveHost& host) : m_host(host) {}
  int32_t DispatchReceived(int32_t length, const unsigned char* data) {
    return FeedChunk(m_assembler, m_host, length, data);
  }
  void SetTunnelRequested(bool requested) { m_assembler.SetTunnelRequested(requested); }
  void Reset() { m_assembler.Reset(); }
  int32_t FrameMode() const { return m_assembler.FrameMode(); }

 private:
  ReceiveHost& m_host;
  CReceiveAssembler m_assembler;
};

}  // namespace corvane
