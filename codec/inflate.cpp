// zlib payloads back to text.
//
// A compressed frame's payload is a zlib stream (RFC 1950, 32 KiB window)
// whose inflated bytes are the message text followed by one zero byte. The
// text is what inflates before the first zero byte; inflation stops there, at
// the end of the stream (bytes after it are ignored), or at the first zlib
// error (a corrupt or cut stream gives the text inflated so far). Output grows
// with what the stream yields, so a highly compressed text is not cut; the
// deflate format itself bounds the yield of L payload bytes at about 1032 x L,
// and kMaxInflatedText caps it absolutely.
#include "codec/inflate.h"

#include <zlib.h>

#include <cstring>
#include <new>
#include <string>

namespace corvane {

namespace {

constexpr size_t kOutputStep = 16 * 1024;

// Ends the stream on every way out, an allocation failure included.
struct StreamGuard {
  z_stream& stream;
  ~StreamGuard() { inflateEnd(&stream); }
};

}  // namespace

std::string InflateText(const unsigned char* payload, int32_t length) {
  std::string text;
  if (payload == nullptr || length <= 0) return text;

  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) return text;
  StreamGuard guard{stream};

  // zlib's next_in is not const in older headers; it never writes through it.
  stream.next_in = const_cast<Bytef*>(payload);
  stream.avail_in = static_cast<uInt>(length);

  unsigned char out[kOutputStep];
  bool done = false;
  // Out of memory ends inflation like a zlib error: the text so far stands.
  try {
    while (!done) {
      stream.next_out = out;
      stream.avail_out = sizeof out;
      const int status = inflate(&stream, Z_NO_FLUSH);
      const size_t produced = sizeof out - stream.avail_out;
      const void* zero = produced > 0 ? std::memchr(out, 0, produced) : nullptr;
      const size_t keep = zero != nullptr
                              ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - out)
                              : produced;
      const size_t room = kMaxInflatedText - text.size();
      text.append(reinterpret_cast<const char*>(out), keep < room ? keep : room);
      // Z_BUF_ERROR means no progress was possible: the input ran out before the
      // stream ended (a cut payload).
      done = zero != nullptr || status != Z_OK || text.size() >= kMaxInflatedText ||
             (produced == 0 && stream.avail_in == 0);
    }
  } catch (const std::bad_alloc&) {
  }
  return text;
}

}  // namespace corvane
