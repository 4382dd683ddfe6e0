// Capture of what a component's connections received, for replay.
//
// A capture is a directory:
//   interactive.bin, broadcast.bin        every byte each connection's reader
//                                         received, in order
//   interactive.chunks, broadcast.chunks  the size of every read, comma-separated
//                                         (what `corvane replay --chunks` takes)
//   capture.txt                           the set-up and the reads in the order
//                                         the readers handed them on:
//     corvane-capture 1
//     multi 0|1                 setMultiOC
//     proxy 0|1                 proxy discovery found a proxy
//     proxy-credentials 0|1     proxy credentials were stored
//     reading interactive|broadcast   the connection was made (its reading
//                               flag set), one line per connection
//     open interactive|broadcast  the reads after it came on a new
//                               connection (the receive side starts afresh)
//     chunk interactive|broadcast LENGTH COMPRESSION ENCRYPTION
//                               one read, with the codec flags (0|1) the
//                               component held when it took it
// The set-up lines may come after chunk lines (they are known once the
// connection sequences have run); a reader takes them all first.
//
// `corvane replay --capture DIR` feeds the reads back through one component in
// the recorded order, each with its recorded flags, so the assemblers see the
// same bytes cut at the same places, and the state the two connections share
// (logon, session key, packet counts) develops as it did.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/event.h"

namespace corvane::tools {

struct CaptureChunk {
  LinkId link = LinkId::Interactive;
  bool opens = false;  // the first read of a new connection
  int32_t length = 0;
  bool compression = false;
  bool encryption = false;
};

struct CaptureSetup {
  bool multi = false;
  bool proxy = false;
  bool proxyCredentials = false;
  std::array<bool, 2> reading{};  // by LinkId: the connection was made
};

// Writes a capture; Record may be called from both reader threads at once.
class CaptureWriter {
 public:
  CaptureWriter() = default;
  ~CaptureWriter() { Close(); }
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // Creates the directory (and parents) and its files; false with *error set.
  bool Open(const std::string& directory, std::string* error);
  // One read; `opening` tells connections apart (a new number: a new one).
  void Record(LinkId link, const unsigned char* data, int32_t length, bool compression,
              bool encryption, uint32_t opening);
  // Appends the set-up lines; then flushes and closes every file. Idempotent.
  void Finish(const CaptureSetup& setup);
  void Close();

 private:
  // One connection's files and where its reads stand.
  struct Stream {
    std::ofstream bin, chunks;
    bool first = true;
    int64_t opening = -1;
  };
  std::mutex m_mutex;
  bool m_open = false;
  std::ofstream m_text;
  std::array<Stream, 2> m_streams;  // by LinkId
};

struct Capture {
  CaptureSetup setup;
  std::vector<CaptureChunk> chunks;  // in the order the readers took them
  std::array<std::string, 2> bytes;  // by LinkId
};

// Reads a capture directory; false with *error set when it is missing,
// malformed, or the byte files do not hold what the reads add up to.
bool ReadCapture(const std::string& directory, Capture* capture, std::string* error);

}  // namespace corvane::tools
