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
  size_t from = m_buffer.size() >= 3 ? m_buffer.size() - 3 : 0;
  m_buffer.append(bytes);
  size_t start = 0;
  for (;;) {
    const size_t end = m_buffer.find(wire::kHeaderEnd, from);
    if (end == std::string::npos) break;
    messages.push_back(RequestMessage(std::string_view(m_buffer).substr(start, end - start)));
    start = end + wire::kHeaderEnd.size();
    from = start;
  }
  m_buffer.erase(0, start);
  if (m_buffer.size() > kMaxHeadBytes) m_buffer.clear();
}

}  // namespace corvane::tools
