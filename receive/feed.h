// Decoding: the step after assembly in a connection's receive pipeline.
//
// FeedChunk runs one chunk through a connection's assembler with the settings
// its owner gives, deciphers or inflates each block the assembler found with
// the session's keys as they stand when the block's turn comes, and hands the
// text to the next stage (splitting and routing). What routing found that
// decoding needs (the session key of a logon response) comes back as the
// next stage's answer and is applied before the next block: a logon response
// and the first message under its key may share one chunk. What the
// assembler reported for its owner (the reading flag) is returned; the keys'
// own change (the end of the fixed key's use) is applied here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/keys.h"
#include "receive/assembler.h"

namespace corvane {

// The next stage: one complete block of message text (cut at its first zero
// byte). Returns the session key the block's logon responses set, if any.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual std::optional<std::string> OnBlock(std::string_view text) = 0;
};

// The text of an encoded block: deciphered with key (the fixed key or the
// session key, as the block chose) and cut at its first zero byte, or
// inflated. Empty when decryption fails: there is nothing to deliver.
std::optional<std::string> DecodeBlock(const ReceivedBlock& block, std::string_view key);

struct FedChunk {
  // -1 when the assembler's call ended early, else 0.
  int32_t status = 0;
  // The owner sets the connection's reading flag (see ReceiveResult).
  bool setReading = false;
};

// settings.useFixedKey is taken from keys; the rest is the owner's.
FedChunk FeedChunk(CReceiveAssembler& assembler, int32_t length, const unsigned char* data,
                   ReceiveSettings settings, ReceiveKeys& keys, BlockSink& next);

}  // namespace corvane
