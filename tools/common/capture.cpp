// Capture of what a component's connections received: see capture.h.
#include "tools/common/capture.h"

#include <filesystem>
#include <iterator>
#include <sstream>

namespace corvane::tools {

namespace {

const char* Name(bool interactive) { return interactive ? "interactive" : "broadcast"; }

bool ReadFile(const std::filesystem::path& path, std::string* bytes) {
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

bool ParseConnection(const std::string& text, bool* interactive) {
  if (text != "interactive" && text != "broadcast") return false;
  *interactive = text == "interactive";
  return true;
}

}  // namespace

bool CaptureWriter::Open(const std::string& directory, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    *error = "cannot make " + directory + ": " + ec.message();
    return false;
  }
  const std::filesystem::path dir(directory);
  const auto binary = std::ios::binary | std::ios::trunc;
  m_text.open(dir / "capture.txt", std::ios::trunc);
  m_interactiveBin.open(dir / "interactive.bin", binary);
  m_broadcastBin.open(dir / "broadcast.bin", binary);
  m_interactiveChunks.open(dir / "interactive.chunks", std::ios::trunc);
  m_broadcastChunks.open(dir / "broadcast.chunks", std::ios::trunc);
  if (!m_text || !m_interactiveBin || !m_broadcastBin || !m_interactiveChunks ||
      !m_broadcastChunks) {
    *error = "cannot write the capture files in " + directory;
    return false;
  }
  m_text << "corvane-capture 1\n";
  m_open = true;
  return true;
}

void CaptureWriter::Record(bool interactive, const unsigned char* data, int32_t length,
                           bool compression, bool encryption, uint32_t opening) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_open || length <= 0) return;
  int64_t& last = interactive ? m_interactiveOpening : m_broadcastOpening;
  if (last != opening) m_text << "open " << Name(interactive) << '\n';
  last = opening;
  (interactive ? m_interactiveBin : m_broadcastBin)
      .write(reinterpret_cast<const char*>(data), length);
  bool& first = interactive ? m_interactiveFirst : m_broadcastFirst;
  (interactive ? m_interactiveChunks : m_broadcastChunks) << (first ? "" : ",") << length;
  first = false;
  m_text << "chunk " << Name(interactive) << ' ' << length << ' ' << (compression ? 1 : 0) << ' '
         << (encryption ? 1 : 0) << '\n';
}

void CaptureWriter::Finish(const CaptureSetup& setup) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) return;
    m_text << "multi " << (setup.multi ? 1 : 0) << '\n'
           << "proxy " << (setup.proxy ? 1 : 0) << '\n'
           << "proxy-credentials " << (setup.proxyCredentials ? 1 : 0) << '\n';
    if (setup.interactiveReading) m_text << "reading interactive\n";
    if (setup.broadcastReading) m_text << "reading broadcast\n";
  }
  Close();
}

void CaptureWriter::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_open) return;
  m_interactiveChunks << '\n';
  m_broadcastChunks << '\n';
  for (std::ofstream* f :
       {&m_text, &m_interactiveBin, &m_broadcastBin, &m_interactiveChunks, &m_broadcastChunks})
    f->close();
  m_open = false;
}

bool ReadCapture(const std::string& directory, Capture* capture, std::string* error) {
  const std::filesystem::path dir(directory);
  std::string text;
  if (!ReadFile(dir / "capture.txt", &text)) {
    *error = "no capture.txt in " + directory;
    return false;
  }
  if (!ReadFile(dir / "interactive.bin", &capture->interactiveBytes) ||
      !ReadFile(dir / "broadcast.bin", &capture->broadcastBytes)) {
    *error = "missing interactive.bin or broadcast.bin in " + directory;
    return false;
  }
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool header = false;
  int64_t interactiveTotal = 0, broadcastTotal = 0;
  bool interactiveOpens = false, broadcastOpens = false;
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
    if (key == "chunk") {
      CaptureChunk chunk;
      ok = ok && ParseConnection(a, &chunk.interactive) && ParseFlag(c, &chunk.compression) &&
           ParseFlag(d, &chunk.encryption);
      try {
        size_t used = 0;
        chunk.length = ok ? std::stoi(b, &used) : 0;
        ok = ok && used == b.size() && chunk.length >= 1 && chunk.length <= 32768;
      } catch (...) {
        ok = false;
      }
      if (ok) {
        (chunk.interactive ? interactiveTotal : broadcastTotal) += chunk.length;
        bool& opens = chunk.interactive ? interactiveOpens : broadcastOpens;
        chunk.opens = opens;
        opens = false;
        capture->chunks.push_back(chunk);
      }
    } else if (key == "open") {
      bool interactive = false;
      ok = ok && b.empty() && ParseConnection(a, &interactive);
      if (ok) (interactive ? interactiveOpens : broadcastOpens) = true;
    } else if (key == "multi") {
      ok = ok && b.empty() && ParseFlag(a, &capture->setup.multi);
    } else if (key == "proxy") {
      ok = ok && b.empty() && ParseFlag(a, &capture->setup.proxy);
    } else if (key == "proxy-credentials") {
      ok = ok && b.empty() && ParseFlag(a, &capture->setup.proxyCredentials);
    } else if (key == "reading") {
      bool interactive = false;
      ok = ok && b.empty() && ParseConnection(a, &interactive);
      if (ok)
        (interactive ? capture->setup.interactiveReading : capture->setup.broadcastReading) = true;
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
  if (interactiveTotal != static_cast<int64_t>(capture->interactiveBytes.size()) ||
      broadcastTotal != static_cast<int64_t>(capture->broadcastBytes.size())) {
    *error = "the reads in capture.txt do not add up to the bytes captured";
    return false;
  }
  return true;
}

}  // namespace corvane::tools
