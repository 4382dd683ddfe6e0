// Request reading: see requests.h.
#include "tools/common/requests.h"

#include "protocol/wire.h"

namespace corvane::tools {

std::string RequestMessage(std::string_view head) {
  std::string_view line = head.substr(0, head.find(wire::kCrLf));
  const size_t stx = line.find(wire::kStx);
  if (stx == std::string_view::npos) return std::string();
  std::string_view rest = line.substr(stx + 1);
  const size_t version = rest.rfind(" HTTP/1.1");
  if (version != std::string_view::npos) rest = rest.substr(0, version);
  return std::string(rest);
}

void RequestReader::Feed(std::string_view bytes, std::vector<std::string>& messages) {
  // Search again from a little before the old end: the CRLF CRLF may straddle
  // the previous and the new bytes.
  size_t from = buffer_.size() >= 3 ? buffer_.size() - 3 : 0;
  buffer_.append(bytes);
  size_t start = 0;
  for (;;) {
    const size_t end = buffer_.find(wire::kHeaderEnd, from);
    if (end == std::string::npos) break;
    messages.push_back(RequestMessage(std::string_view(buffer_).substr(start, end - start)));
    start = end + wire::kHeaderEnd.size();
    from = start;
  }
  buffer_.erase(0, start);
  if (buffer_.size() > kMaxHeadBytes) buffer_.clear();
}

}  // namespace corvane::tools
