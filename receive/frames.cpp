// Compressed frames: marker byte, five length digits, payload.
//
// The parser walks a chunk from marker to marker; a frame is taken when it
// ends the chunk or is followed by "HTTP". Whatever a chunk boundary cuts (the
// marker and digits, the payload, or the "HTTP" after a whole payload) is
// carried, frame mode 0, and ContinueCompressedFrame completes it from the
// next chunk before the parser goes on with the rest of that chunk at
// m_nFrameScanPos. Frames leave as blocks still compressed (and enciphered,
// under the key their marker names).
#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/numbers.h"
#include "protocol/wire.h"
#include "receive/assembler.h"

namespace corvane {
namespace {

using wire::kFramePrefix;
using wire::kMarkerFixedKey;
using wire::kMarkerSessionKey;
using wire::kMarkerZlib;
constexpr char kHttp[] = "HTTP";

// The frame length: the decimal prefix of the five digits after the marker.
int64_t FrameLength(const unsigned char* frame) {
  return DecimalPrefix64(
      std::string_view(reinterpret_cast<const char*>(frame) + 1, wire::kFrameLengthDigits));
}

std::string_view Bytes(const unsigned char* p, size_t n) {
  return std::string_view(reinterpret_cast<const char*>(p), n);
}

}  // namespace

CReceiveAssembler::FrameFit CReceiveAssembler::FitFrame(const unsigned char* b, size_t n, size_t s,
                                                        int64_t len) {
  if (len < 0) return FrameFit::NotFollowed;
  const size_t avail = n - s;
  const size_t size = static_cast<size_t>(len);
  if (avail == size) return FrameFit::AtEnd;
  if (avail < size) return FrameFit::Cut;
  const size_t after = std::min<size_t>(avail - size, 4);
  if (std::memcmp(b + s + size, kHttp, after) != 0) return FrameFit::NotFollowed;
  return after == 4 ? FrameFit::BeforeHttp : FrameFit::AwaitHttp;
}

void CReceiveAssembler::CarryPayload(const unsigned char* b, size_t n, size_t s, int64_t len,
                                     unsigned char marker) {
  const size_t size = static_cast<size_t>(len);
  m_nFrameMarker = marker;
  const size_t have = std::min(n - s, size);
  m_frameCarryBuf.resize(size);
  if (have > 0) std::memcpy(m_frameCarryBuf.data(), b + s, have);
  m_nFrameLen = len;
  m_nFrameCarried = static_cast<int64_t>(have);
  m_nFrameRemaining = len - static_cast<int64_t>(have);
  if (m_nFrameRemaining > 0) {
    m_frameCarry = FrameCarry::Payload;
    m_nTrailerHeld = 0;
  } else {
    m_frameCarry = FrameCarry::Trailer;
    m_nTrailerHeld = n - s - size;
  }
  m_nFrameMode = 0;
}

void CReceiveAssembler::TakeFrame(std::string_view payload, unsigned char marker) {
  if (marker == kMarkerZlib) {
    m_result.blocks.push_back({payload, BlockCodec::Zlib, false});
  } else {
    m_result.blocks.push_back({payload, BlockCodec::DesZlib, marker == kMarkerFixedKey});
  }
}

int32_t CReceiveAssembler::ParseFrames(int32_t length, const unsigned char* data, bool encrypted) {
  const size_t n = length > 0 && data != nullptr ? static_cast<size_t>(length) : 0;
  // One key per call: the marker says which one the sender used.
  const bool fixedKey = m_in.useFixedKey;
  const unsigned char marker =
      !encrypted ? kMarkerZlib : (fixedKey ? kMarkerFixedKey : kMarkerSessionKey);
  size_t p = m_nFrameScanPos;
  while (p < n) {
    const void* found = std::memchr(data + p, marker, n - p);
    if (found == nullptr) break;
    const size_t m = static_cast<size_t>(static_cast<const unsigned char*>(found) - data);
    if (n - m < kFramePrefix) {
      // Marker and digits cut by the chunk end: the next chunk completes them.
      std::memcpy(m_frameHeader, data + m, n - m);
      m_nFrameHeaderHeld = n - m;
      m_frameCarry = FrameCarry::Header;
      m_nFrameMode = 0;
      break;
    }
    const int64_t len = FrameLength(data + m);
    const size_t s = m + kFramePrefix;
    p = s;
    const FrameFit fit = FitFrame(data, n, s, len);
    if (fit == FrameFit::AtEnd || fit == FrameFit::BeforeHttp) {
      p = s + static_cast<size_t>(len);
      TakeFrame(Bytes(data + s, static_cast<size_t>(len)), marker);
    } else if (fit == FrameFit::Cut || fit == FrameFit::AwaitHttp) {
      CarryPayload(data, n, s, len, marker);
      break;
    }
    // NotFollowed: the search goes on at the frame's first payload byte.
  }
  m_nFrameScanPos = 0;
  if (encrypted) m_result.fixedKeyDone = true;
  return 0;
}

int32_t CReceiveAssembler::ProcessCompressedFrames(int32_t length, const unsigned char* data) {
  try {
    return ParseFrames(length, data, false);
  } catch (...) {
    return -1;
  }
}

int32_t CReceiveAssembler::ProcessCompressedEncryptedFrames(int32_t length,
                                                            const unsigned char* data) {
  try {
    return ParseFrames(length, data, true);
  } catch (...) {
    return -1;
  }
}

int32_t CReceiveAssembler::ContinueCompressedFrame(int32_t length, const unsigned char* data) {
  try {
    const size_t n = length > 0 && data != nullptr ? static_cast<size_t>(length) : 0;
    // A carried frame is listed as its marker says, with its own length: the
    // carry buffer was sized for it when it was carried. The result keeps the
    // bytes, so the buffer is free for the next frame of the same chunk.
    auto takeCarried = [&]() {
      TakeFrame(m_result.Keep(std::string(Bytes(m_frameCarryBuf.data(), m_frameCarryBuf.size()))),
                m_nFrameMarker);
    };
    auto searchFrom = [&](size_t pos) {
      m_frameCarry = FrameCarry::None;
      m_nFrameCarried = 0;
      m_nFrameRemaining = 0;
      m_nFrameHeaderHeld = 0;
      m_nTrailerHeld = 0;
      m_nFrameMode = 1;
      m_nFrameScanPos = pos;
    };

    switch (m_frameCarry) {
      case FrameCarry::None:
        searchFrom(0);
        break;

      case FrameCarry::Header: {
        const size_t take = std::min(kFramePrefix - m_nFrameHeaderHeld, n);
        if (take > 0) std::memcpy(m_frameHeader + m_nFrameHeaderHeld, data, take);
        m_nFrameHeaderHeld += take;
        if (m_nFrameHeaderHeld < kFramePrefix) break;
        const int64_t len = FrameLength(m_frameHeader);
        switch (FitFrame(data, n, take, len)) {
          case FrameFit::AtEnd:
          case FrameFit::BeforeHttp: {
            TakeFrame(Bytes(data + take, static_cast<size_t>(len)), m_frameHeader[0]);
            searchFrom(take + static_cast<size_t>(len));
            break;
          }
          case FrameFit::Cut:
          case FrameFit::AwaitHttp:
            m_nFrameHeaderHeld = 0;
            CarryPayload(data, n, take, len, m_frameHeader[0]);
            break;
          case FrameFit::NotFollowed:
            searchFrom(take);
            break;
        }
        break;
      }

      case FrameCarry::Payload: {
        const size_t r = static_cast<size_t>(m_nFrameRemaining);
        const size_t c = static_cast<size_t>(m_nFrameCarried);
        if (c + r != m_frameCarryBuf.size()) {
          // Never expected: the counts no longer describe the buffer. Drop
          // the frame rather than write or read outside it.
          searchFrom(0);
        } else if (n == r || (n >= r + 4 && std::memcmp(data + r, kHttp, 4) == 0)) {
          std::memcpy(m_frameCarryBuf.data() + c, data, r);
          takeCarried();
          searchFrom(r);
        } else if (n < r) {
          std::memcpy(m_frameCarryBuf.data() + c, data, n);
          m_nFrameCarried += static_cast<int64_t>(n);
          m_nFrameRemaining -= static_cast<int64_t>(n);
        } else if (n - r < 4 && std::memcmp(data + r, kHttp, n - r) == 0) {
          // Whole, but only the start of "HTTP" is here: wait for the rest.
          std::memcpy(m_frameCarryBuf.data() + c, data, r);
          m_nFrameCarried = m_nFrameLen;
          m_nFrameRemaining = 0;
          m_nTrailerHeld = n - r;
          m_frameCarry = FrameCarry::Trailer;
        } else {
          // The continuation does not line up: drop the frame, search the chunk.
          searchFrom(0);
        }
        break;
      }

      case FrameCarry::Trailer: {
        const size_t need = 4 - m_nTrailerHeld;
        const size_t have = std::min(need, n);
        if (std::memcmp(data, kHttp + m_nTrailerHeld, have) != 0) {
          searchFrom(0);
        } else if (have < need) {
          m_nTrailerHeld += have;
        } else {
          takeCarried();
          searchFrom(need);
        }
        break;
      }
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

}  // namespace corvane
