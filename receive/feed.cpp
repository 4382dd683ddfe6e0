#include "receive/feed.h"

#include <cstring>
#include <memory>

#include "codec/des.h"
#include "codec/inflate.h"
#include "platform/trace.h"

namespace corvane {

std::optional<std::string> DecodeBlock(const ReceivedBlock& block, std::string_view key) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block.bytes.data());
  const auto size = static_cast<int32_t>(block.bytes.size());
  switch (block.codec) {
    case BlockCodec::Plain:
      return std::string(block.bytes);
    case BlockCodec::Zlib:
      return InflateText(bytes, size);
    case BlockCodec::Des:
    case BlockCodec::DesZlib: {
      // The deciphered buffer has one zero byte more than the ciphertext.
      const std::unique_ptr<unsigned char[]> plain = DecryptText(key, bytes, size);
      if (!plain) return std::nullopt;
      if (block.codec == BlockCodec::DesZlib) return InflateText(plain.get(), size);
      const char* text = reinterpret_cast<const char*>(plain.get());
      const void* zero = std::memchr(text, 0, static_cast<size_t>(size) + 1);
      return std::string(text, static_cast<size_t>(static_cast<const char*>(zero) - text));
    }
  }
  return std::nullopt;
}

FedChunk FeedChunk(CReceiveAssembler& assembler, int32_t length, const unsigned char* data,
                   ReceiveSettings settings, ReceiveKeys& keys, BlockSink& next) {
  settings.useFixedKey = keys.UsingFixedKey();
  const ReceiveResult& result = assembler.DispatchReceived(length, data, settings);

  for (const std::string& line : result.traces) DebugTrace("%s", line.c_str());
  for (const ReceivedBlock& block : result.blocks) {
    std::optional<std::string> key;
    if (block.codec == BlockCodec::Plain) {
      // Plain bodies go on in place, without a copy.
      key = next.OnBlock(block.bytes);
    } else if (const std::optional<std::string> text =
                   DecodeBlock(block, keys.KeyFor(block.fixedKey))) {
      key = next.OnBlock(*text);
    }
    if (key) keys.SetSessionKey(*key);
  }
  if (result.fixedKeyDone) keys.FixedKeyDone();
  return {result.status == -1 ? -1 : 0, result.setReading};
}

}  // namespace corvane
