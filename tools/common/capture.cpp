// Capture of what a component's connections received: see capture.h.
#include "tools/common/capture.h"

#include <filesystem>
#include <iterator>
#include <sstream>

namespace corvane::tools {

namespace {

namespace fs = std::filesystem;

bool ReadFile(const fs::path& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool ParseFlag(const std::string& text, bool* flag) {
  if (text != "0" && text != "1") return false;
  *flag = text == "1";
  return true;
}

bool ParseConnection(const std::string& text, LinkId* link) {
  for (LinkId id : kLinkIds) {
    if (text == LinkName(id)) {
      *link = id;
      return true;
    }
  }
  return false;
}

// The files of one connection: NAME.bin and NAME.chunks.
fs::path BinPath(const fs::path& dir, LinkId id) {
  return dir / (std::string(LinkName(id)) + ".bin");
}
fs::path ChunksPath(const fs::path& dir, LinkId id) {
  return dir / (std::string(LinkName(id)) + ".chunks");
}

}  // namespace

bool CaptureWriter::Open(const std::string& directory, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) {
    *error = "cannot make " + directory + ": " + ec.message();
    return false;
  }
  const fs::path dir(directory);
  m_text.open(dir / "capture.txt", std::ios::trunc);
  bool ok = static_cast<bool>(m_text);
  for (LinkId id : kLinkIds) {
    Stream& stream = m_streams[Index(id)];
    stream.bin.open(BinPath(dir, id), std::ios::binary | std::ios::trunc);
    stream.chunks.open(ChunksPath(dir, id), std::ios::trunc);
    ok = ok && stream.bin && stream.chunks;
  }
  if (!ok) {
    *error = "cannot write the capture files in " + directory;
    return false;
  }
  m_text << "corvane-capture 1\n";
  m_open = true;
  return true;
}

void CaptureWriter::Record(LinkId link, const unsigned char* data, int32_t length, bool compression,
                           bool encryption, uint32_t opening) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_open || length <= 0) return;
  Stream& stream = m_streams[Index(link)];
  if (stream.opening != opening) m_text << "open " << LinkName(link) << '\n';
  stream.opening = opening;
  stream.bin.write(reinterpret_cast<const char*>(data), length);
  stream.chunks << (stream.first ? "" : ",") << length;
  stream.first = false;
  m_text << "chunk " << LinkName(link) << ' ' << length << ' ' << (compression ? 1 : 0) << ' '
         << (encryption ? 1 : 0) << '\n';
}

void CaptureWriter::Finish(const CaptureSetup& setup) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) return;
    m_text << "multi " << (setup.multi ? 1 : 0) << '\n'
           << "proxy " << (setup.proxy ? 1 : 0) << '\n'
           << "proxy-credentials " << (setup.proxyCredentials ? 1 : 0) << '\n';
    for (LinkId id : kLinkIds) {
      if (setup.reading[Index(id)]) m_text << "reading " << LinkName(id) << '\n';
    }
  }
  Close();
}

void CaptureWriter::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_open) return;
  m_text.close();
  for (Stream& stream : m_streams) {
    stream.chunks << '\n';
    stream.chunks.close();
    stream.bin.close();
  }
  m_open = false;
}

bool ReadCapture(const std::string& directory, Capture* capture, std::string* error) {
  const fs::path dir(directory);
  std::string text;
  if (!ReadFile(dir / "capture.txt", &text)) {
    *error = "no capture.txt in " + directory;
    return false;
  }
  for (LinkId id : kLinkIds) {
    if (!ReadFile(BinPath(dir, id), &capture->bytes[Index(id)])) {
      *error = "missing interactive.bin or broadcast.bin in " + directory;
      return false;
    }
  }
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool header = false;
  std::array<int64_t, 2> totals{};
  std::array<bool, 2> opens{};
  while (std::getline(lines, line)) {
    ++number;
    std::istringstream words(line);
    std::string key, a, b, c, d, extra;
    words >> key >> a >> b >> c >> d >> extra;
    bool ok = extra.empty();
    if (number == 1) {
      header = key == "corvane-capture" && a == "1" && b.empty();
      if (!header) break;
      continue;
    }
    LinkId link = LinkId::Interactive;
    if (key == "chunk") {
      CaptureChunk chunk;
      ok = ok && ParseConnection(a, &chunk.link) && ParseFlag(c, &chunk.compression) &&
           ParseFlag(d, &chunk.encryption);
      try {
        size_t used = 0;
        chunk.length = ok ? std::stoi(b, &used) : 0;
        ok = ok && used == b.size() && chunk.length >= 1 && chunk.length <= 32768;
      } catch (...) {
        ok = false;
      }
      if (ok) {
        totals[Index(chunk.link)] += chunk.length;
        chunk.opens = opens[Index(chunk.link)];
        opens[Index(chunk.link)] = false;
        capture->chunks.push_back(chunk);
      }
    } else if (key == "open") {
      ok = ok && b.empty() && ParseConnection(a, &link);
      if (ok) opens[Index(link)] = true;
    } else if (key == "multi") {
      ok = ok && b.empty() && ParseFlag(a, &capture->setup.multi);
    } else if (key == "proxy") {
      ok = ok && b.empty() && ParseFlag(a, &capture->setup.proxy);
    } else if (key == "proxy-credentials") {
      ok = ok && b.empty() && ParseFlag(a, &capture->setup.proxyCredentials);
    } else if (key == "reading") {
      ok = ok && b.empty() && ParseConnection(a, &link);
      if (ok) capture->setup.reading[Index(link)] = true;
    } else {
      ok = key.empty() && a.empty();
    }
    if (!ok) {
      *error = "capture.txt line " + std::to_string(number) + " is not understood: " + line;
      return false;
    }
  }
  if (!header) {
    *error = directory + "/capture.txt is not a capture";
    return false;
  }
  for (LinkId id : kLinkIds) {
    if (totals[Index(id)] != static_cast<int64_t>(capture->bytes[Index(id)].size())) {
      *error = "the reads in capture.txt do not add up to the bytes captured";
      return false;
    }
  }
  return true;
}

}  // namespace corvane::tools
