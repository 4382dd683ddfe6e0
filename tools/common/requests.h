// Reading the component's requests on the server side (sans-I/O).
//
// A request is "Get http://HOST/" STX message " HTTP/1.1" CRLF, header lines,
// and an empty line (CRLF CRLF); it has no body. The message is the text of
// the request line between the STX and the last " HTTP/1.1"; a request line
// without STX carries an empty message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::tools {

// The message of one request head (the bytes before CRLF CRLF).
std::string RequestMessage(std::string_view head);

class RequestReader {
 public:
  // Header bytes held without an end before they are dropped: a broken client
  // cannot make the server grow without bound.
  static constexpr size_t kMaxHeadBytes = 1 << 20;

  // Takes the next bytes of the stream; appends the message of every request
  // they complete, in order.
  void Feed(std::string_view bytes, std::vector<std::string>& messages);
  size_t Buffered() const { return m_buffer.size(); }

 private:
  std::string m_buffer;
};

}  // namespace corvane::tools
