// Receive assembly for one connection.
//
// HTTP-framed traffic (plain, and encrypted bodies): each pass over the chunk
// takes one response. A header part or the first part of a body that the chunk
// does not complete is held in m_strFragment; everything else is looked at in
// place through string_views over the chunk. The header end is CR LF CR LF,
// found by its middle LF CR, also when a chunk boundary cuts it anywhere (the
// search starts two bytes before the end of a held header part, and an LF CR at
// the very end waits for the LF that completes it). Bodies of responses that are
// not "HTTP/1.1 200 OK" but carry a Content-Length, and bodies longer than
// kMaxBodyLength, are counted off in m_nDiscardRemaining without being stored.
//
// Compressed frames are parsed in receive/frames.cpp.
//
// Keys: the fixed key serves the first encrypted call of the process, the
// session key every later one; the choice comes in with each call, and an
// encrypted call reports that it has used the choice up. What a call begins
// keeps the key of that call: a carried frame is listed as its marker says
// (0x05 plain zlib, 0x06 fixed key, 0x07 session key), and a held encrypted
// body with the key chosen when its header was read, whatever the flags and
// the key choice are by the time the rest arrives. A carried frame is always
// completed with its own length. Blocks leave still encoded: the owner
// deciphers each with the key in force when its turn comes.
#include "receive/assembler.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/numbers.h"
#include "protocol/wire.h"

namespace corvane {
namespace {

using wire::kContentLength;
using wire::kCrLf;
using wire::kFramePrefix;  // marker and five digits, also ahead of a ciphertext body
using wire::kStatusOk;
constexpr std::string_view kTunnelWord = "stablished";  // "Established" or "established"

// The body length a header announces: the text one character after the colon
// of "Content-Length:" up to the line end. found is false without that line.
int64_t ContentLength(std::string_view header, bool& found) {
  const size_t p = header.find(kContentLength);
  found = p != std::string_view::npos;
  if (!found) return 0;
  const size_t from = p + kContentLength.size() + 1;
  if (from >= header.size()) return 0;
  std::string_view value = header.substr(from);
  return DecimalPrefix64(value.substr(0, value.find(kCrLf)));
}

// Offset, in held + d, of the first LF CR (the middle of the header end). A held
// header part has none before its last two bytes, so the search starts there.
size_t FindHeaderEnd(std::string_view held, std::string_view d) {
  const size_t total = held.size() + d.size();
  auto at = [&](size_t i) { return i < held.size() ? held[i] : d[i - held.size()]; };
  for (size_t i = held.size() >= 2 ? held.size() - 2 : 0; i < held.size(); ++i) {
    if (at(i) == '\n' && i + 1 < total && at(i + 1) == '\r') return i;
  }
  const char* p = d.data();
  const size_t n = d.size();
  size_t k = 0;
  while (k + 1 < n) {
    const void* lf = std::memchr(p + k, '\n', n - 1 - k);
    if (lf == nullptr) break;
    k = static_cast<size_t>(static_cast<const char*>(lf) - p);
    if (p[k + 1] == '\r') return held.size() + k;
    ++k;
  }
  return std::string_view::npos;
}

// Length of the longest end of d that is the beginning of the status line.
size_t StatusPrefixAtEnd(std::string_view d) {
  for (size_t k = std::min(d.size(), kStatusOk.size() - 1); k > 0; --k) {
    if (d.substr(d.size() - k) == kStatusOk.substr(0, k)) return k;
  }
  return 0;
}

}  // namespace

void ReceiveResult::Clear() {
  blocks.clear();
  setReading = false;
  fixedKeyDone = false;
  status = 0;
  traces.clear();
  m_kept.clear();
}

std::string_view ReceiveResult::Keep(std::string bytes) {
  m_kept.push_back(std::move(bytes));
  return m_kept.back();
}

void CReceiveAssembler::ClearHttp() {
  m_strFragment = std::string();
  m_bFragmentPending = false;
  m_nRemainingBodyLen = 0;
  m_nDiscardRemaining = 0;
  m_bStatusTailHeld = false;
  m_bHeldFixedKey = false;
}

void CReceiveAssembler::ClearFrame() {
  m_nFrameMode = 1;
  m_nFrameLen = 0;
  m_nFrameMarker = 0;
  m_nFrameCarried = 0;
  m_nFrameRemaining = 0;
  m_nFrameScanPos = 0;
  m_frameCarry = FrameCarry::None;
  m_nFrameHeaderHeld = 0;
  m_nTrailerHeld = 0;
}

void CReceiveAssembler::Reset() {
  ClearHttp();
  ClearFrame();
  m_nTunnelEstablished = 0;
  m_bTunnelRequested = false;
  m_bSeekingStatus = false;
  m_answer.Reset();
  m_frameCarryBuf = std::vector<unsigned char>();
}

const ReceiveResult& CReceiveAssembler::DispatchReceived(int32_t length, const unsigned char* data,
                                                         const ReceiveSettings& settings) {
  m_result.Clear();
  m_in = settings;
  int32_t result = 0;
  try {
    if (length <= 0 || data == nullptr) return m_result;
    const bool compression = settings.compression;
    const bool encryption = settings.encryption;
    if (compression && m_bTunnelRequested && m_nTunnelEstablished == 0 && m_nFrameMode == 1) {
      const size_t used = TakeProxyAnswer(
          std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(length)));
      // A chunk that is only the answer is no call of the frame parsers (and
      // so does not use up the fixed key).
      if (used >= static_cast<size_t>(length)) return m_result;
      data += used;
      length -= static_cast<int32_t>(used);
    }
    if (!compression && !encryption) {
      // Plain traffic is text: the chunk ends at its first zero byte.
      const void* zero = std::memchr(data, 0, static_cast<size_t>(length));
      const size_t size = zero != nullptr
                              ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - data)
                              : static_cast<size_t>(length);
      result = ProcessPacket(length, std::string_view(reinterpret_cast<const char*>(data), size));
    } else if (!encryption) {
      if (m_nFrameMode == 0) result = ContinueCompressedFrame(length, data);
      if (m_nFrameMode == 1) result = ProcessCompressedFrames(length, data);
    } else if (!compression) {
      result = ProcessEncryptedPacket(length, data);
    } else {
      if (m_nFrameMode == 0) result = ContinueCompressedFrame(length, data);
      if (m_nFrameMode == 1) result = ProcessCompressedEncryptedFrames(length, data);
    }
  } catch (...) {
    result = -1;
  }
  if (result == -1) m_result.status = -1;
  return m_result;
}

// The proxy answers the CONNECT request before the server says anything, and
// in plain HTTP whatever the codec flags say of the server's traffic. They
// are still on (their reset values) between the connection event and the
// script's first request, when the answer usually arrives; the frame parsers
// would pass over it, and the plain path would later take the server's logon
// response for it. So with compression on the answer is taken here, held
// across chunks: a success status line or "stablished" in it takes the
// tunnel; any other answer (a refusal) is only consumed. Bytes that do not
// start with "HTTP/" are the server's: nothing is taken.
size_t CReceiveAssembler::TakeProxyAnswer(std::string_view d) {
  const size_t used = m_answer.Feed(d);
  switch (m_answer.state()) {
    case ProxyAnswer::State::NeedMore:
      return used;
    case ProxyAnswer::State::Malformed:
      m_answer.Reset();
      return 0;
    case ProxyAnswer::State::Complete:
      break;
  }
  if (m_answer.StatusLine() == kStatusOk || m_answer.SaysEstablished()) m_nTunnelEstablished = 1;
  m_answer.Reset();
  return used;
}

// ---- HTTP-framed traffic ----

int32_t CReceiveAssembler::ProcessPacket(int32_t length, std::string_view text) {
  try {
    text = text.substr(0, std::min(text.size(), static_cast<size_t>(std::max(length, 0))));
    RunHttp(text, false, m_in.useFixedKey);
    return 0;
  } catch (...) {
    return -1;
  }
}

int32_t CReceiveAssembler::ProcessEncryptedPacket(int32_t length, const unsigned char* data) {
  try {
    if (length < 0 || data == nullptr) length = 0;
    const std::string_view d(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    // The fixed key serves the first encrypted call of the process only; a call
    // that stops to wait for the interactive reader keeps it. The choice came
    // with the call, so the other connection ending its call cannot change it
    // half-way through this one.
    if (RunHttp(d, true, m_in.useFixedKey) == HttpEnd::Normal) m_result.fixedKeyDone = true;
    return 0;
  } catch (...) {
    return -1;
  }
}

void CReceiveAssembler::DeliverBody(std::string_view body, bool encrypted, bool fixedKey) {
  if (!encrypted) {
    m_result.blocks.push_back({body, BlockCodec::Plain, false});
    return;
  }
  // Marker and five digits, then DES ciphertext; the digits are not used.
  if (body.size() <= kFramePrefix) return;
  m_result.blocks.push_back({body.substr(kFramePrefix), BlockCodec::Des, fixedKey});
}

bool CReceiveAssembler::ContinueStatusTail(std::string_view& d) {
  const size_t held = m_strFragment.size();
  const size_t need = kStatusOk.size() - std::min(held, kStatusOk.size());
  const size_t have = std::min(need, d.size());
  if (d.substr(0, have) != kStatusOk.substr(kStatusOk.size() - need, have)) {
    // Not the status line after all: the tail goes, the chunk is read afresh.
    ClearHttp();
    return true;
  }
  if (have < need) {
    m_strFragment.append(d);
    d = std::string_view();
    return false;
  }
  // The status line is complete: what is held is the start of a header.
  m_bStatusTailHeld = false;
  return true;
}

CReceiveAssembler::HttpEnd CReceiveAssembler::RunHttp(std::string_view d, bool encrypted,
                                                      bool fixedKey) {
  // After the proxy's answer the bytes up to the server's first success status
  // line are dropped, and so is whatever precedes a success status line in the
  // rest of that chunk; a search that runs off the end of a chunk goes on in
  // the next one, so that the chunks' cuts do not change what is dropped.
  bool afterTunnel = m_bSeekingStatus;
  if (m_bStatusTailHeld) {
    if (!ContinueStatusTail(d)) return HttpEnd::Normal;
    // A completed status line is the start of the header held: found.
    if (m_bFragmentPending) afterTunnel = m_bSeekingStatus = false;
  }
  while (!d.empty()) {
    // The body of a skipped response is counted off, never stored.
    if (m_nDiscardRemaining > 0) {
      const size_t take = static_cast<size_t>(
          std::min<int64_t>(m_nDiscardRemaining, static_cast<int64_t>(d.size())));
      d.remove_prefix(take);
      m_nDiscardRemaining -= static_cast<int64_t>(take);
      continue;
    }

    // After the proxy's answer only a success response is looked for.
    if (afterTunnel) {
      const size_t pos = d.find(kStatusOk);
      if (pos == std::string_view::npos) {
        ClearHttp();
        // A status line cut by the end of the chunk is the start of a header.
        // It is held only until the next chunk shows whether the line goes on.
        const size_t keep = StatusPrefixAtEnd(d);
        if (keep > 0) {
          m_strFragment.assign(d.substr(d.size() - keep));
          m_bFragmentPending = true;
          m_bStatusTailHeld = true;
          m_bHeldFixedKey = fixedKey;
        }
        m_bSeekingStatus = true;  // the next chunk goes on with the search
        return HttpEnd::Normal;
      }
      d.remove_prefix(pos);
      m_bSeekingStatus = false;
    }

    // A response keeps the key of the call that read its first bytes.
    const bool key = m_bFragmentPending ? m_bHeldFixedKey : fixedKey;
    m_bHeldFixedKey = key;

    std::string held;
    if (m_bFragmentPending && m_nRemainingBodyLen == 0) {
      held = std::move(m_strFragment);
      m_strFragment.clear();
      m_bFragmentPending = false;
    }

    if (m_bFragmentPending && m_nRemainingBodyLen > 0) {
      if (static_cast<int64_t>(d.size()) < m_nRemainingBodyLen) {
        m_strFragment.append(d);
        m_nRemainingBodyLen -= static_cast<int64_t>(d.size());
        return HttpEnd::Normal;
      }
      const size_t rest = static_cast<size_t>(m_nRemainingBodyLen);
      m_strFragment.append(d.substr(0, rest));
      d.remove_prefix(rest);
      const std::string_view body = m_result.Keep(std::move(m_strFragment));
      m_strFragment.clear();
      m_bFragmentPending = false;
      m_nRemainingBodyLen = 0;
      DeliverBody(body, encrypted, key);
      continue;
    }

    const size_t total = held.size() + d.size();
    const size_t lf = FindHeaderEnd(held, d);
    if (lf == std::string_view::npos || lf + 2 >= total) {
      // No header end yet (or its last LF has not arrived): hold the header part.
      if (total > kMaxHeaderLength) {
        m_result.traces.push_back("ProcessPacket - header part of " + std::to_string(total) +
                                  " bytes without its end dropped\n");
        ClearHttp();
        return HttpEnd::Normal;
      }
      held.append(d);
      m_strFragment = std::move(held);
      m_bFragmentPending = true;
      m_nRemainingBodyLen = 0;
      return HttpEnd::Normal;
    }

    // The header runs up to the first CR of its end; LF, CR, LF are skipped.
    const size_t consumed = lf + 3 - held.size();
    std::string_view header;
    if (lf <= held.size()) {
      // The header end is cut by the chunk boundary.
      m_result.traces.emplace_back("ProcessPacket - Fragment Issue!!!\n");
      held.resize(lf);
      header = held;
    } else if (held.empty()) {
      header = d.substr(0, lf);
    } else {
      held.append(d.substr(0, lf - held.size()));
      header = held;
    }
    d.remove_prefix(consumed);

    const std::string_view status = header.substr(0, header.find(kCrLf));
    const bool success = status == kStatusOk;

    // Only a connection that sent a CONNECT request has a proxy's answer to take.
    if (m_bTunnelRequested && m_nTunnelEstablished == 0 &&
        (success || header.find(kTunnelWord) != std::string_view::npos)) {
      const bool readingRule = !encrypted || m_in.multiOC;
      if (readingRule && !m_in.reading) {
        m_result.setReading = true;
        return HttpEnd::TunnelWait;
      }
      m_nTunnelEstablished = 1;
      m_bSeekingStatus = true;
      afterTunnel = true;
      continue;
    }

    bool hasLength = false;
    const int64_t bodyLen = ContentLength(header, hasLength);
    if (success) {
      if (bodyLen > kMaxBodyLength) {
        m_result.traces.push_back("ProcessPacket - body of " + std::to_string(bodyLen) +
                                  " bytes over the limit dropped\n");
        m_nDiscardRemaining = bodyLen;
        continue;
      }
      if (bodyLen >= 0 && static_cast<int64_t>(d.size()) < bodyLen) {
        m_strFragment.reserve(static_cast<size_t>(bodyLen));
        m_strFragment.assign(d);
        m_nRemainingBodyLen = bodyLen - static_cast<int64_t>(d.size());
        m_bFragmentPending = true;
        return HttpEnd::Normal;
      }
      const std::string_view body = bodyLen < 0 ? d : d.substr(0, static_cast<size_t>(bodyLen));
      d.remove_prefix(body.size());
      DeliverBody(body, encrypted, key);
      continue;
    }

    // Any other status: a response that says how long it is is skipped whole;
    // one that does not leaves nothing to resynchronise on, so the rest goes.
    if (hasLength && bodyLen >= 0) {
      m_nDiscardRemaining = bodyLen;
      continue;
    }
    ClearHttp();
    return HttpEnd::Normal;
  }
  return HttpEnd::Normal;
}

}  // namespace corvane
