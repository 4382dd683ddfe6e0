// InflateText against zlib driven the plain way.
//
// First byte even: the rest is a payload as a frame carries it, arbitrary
// bytes. InflateText must give what one inflate() call over the whole payload
// gives, read up to its first zero byte: the text inflated before the stream
// ends, breaks or runs out, whatever InflateText's own output steps are.
// First byte odd: the rest (up to its first zero byte) is a text; zlib's
// compress2 at the level the next byte picks makes the payload of text + zero
// byte, and InflateText must give the text back.
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/inflate.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::fuzz::InputReader;

// The reference: one inflate() call with room for everything the payload can
// yield (deflate yields at most 1032 bytes per input byte, and a few more from
// a stored block header), cut at the first zero byte.
std::string ReferenceInflate(std::string_view payload) {
  if (payload.empty()) return std::string();
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) return std::string();
  // Left uninitialised: only what zlib writes is touched.
  const size_t capacity = payload.size() * 1040 + 64;
  const std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
  stream.avail_in = static_cast<uInt>(payload.size());
  stream.next_out = out.get();
  stream.avail_out = static_cast<uInt>(capacity);
  inflate(&stream, Z_FINISH);
  const size_t produced = capacity - stream.avail_out;
  inflateEnd(&stream);
  const void* zero = std::memchr(out.get(), 0, produced);
  const size_t n = zero != nullptr
                       ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - out.get())
                       : produced;
  return std::string(reinterpret_cast<const char*>(out.get()),
                     n < corvane::kMaxInflatedText ? n : corvane::kMaxInflatedText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const uint8_t mode = in.Byte();
  if ((mode & 1) == 0) {
    const std::string_view payload = in.Rest();
    const std::string got =
        corvane::InflateText(corvane::fuzz::Bytes(payload), static_cast<int32_t>(payload.size()));
    FUZZ_CHECK(got == ReferenceInflate(payload));
    return 0;
  }
  const int level = in.Byte() % 10;
  const std::string text(in.Until('\0'));
  std::string withZero = text;
  withZero.push_back('\0');
  uLongf capacity = compressBound(static_cast<uLong>(withZero.size()));
  std::vector<unsigned char> payload(capacity);
  FUZZ_CHECK(compress2(payload.data(), &capacity, reinterpret_cast<const Bytef*>(withZero.data()),
                       static_cast<uLong>(withZero.size()), level) == Z_OK);
  FUZZ_CHECK(corvane::InflateText(payload.data(), static_cast<int32_t>(capacity)) == text);
  return 0;
}
