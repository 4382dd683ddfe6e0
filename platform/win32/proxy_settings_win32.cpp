// The current user's Internet Settings as the proxy-settings source.
//
// HKEY_CURRENT_USER "Software\Microsoft\Windows\CurrentVersion\Internet
// Settings": "ProxyEnable" (its first byte; a REG_DWORD on every system we
// know) and "ProxyServer" (host:port text). The key is opened for reading
// only: a process with write access denied to HKCU (a low-integrity browser)
// still finds its proxy. Values are read whole, however long; a text ends at
// its first zero character. Any failure to open the key or read either value
// makes Read fail, and the caller then connects directly.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/proxy_settings.h"

namespace corvane {
namespace {

constexpr char kInternetSettings[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The value's bytes, whatever their length; false when it cannot be read.
bool QueryValue(HKEY key, const char* name, std::vector<BYTE>& data) {
  // The value may change between the size query and the read: retry with the
  // new size a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) return false;
    data.assign(size, 0);
    status =
        RegQueryValueExA(key, name, nullptr, nullptr, data.empty() ? nullptr : data.data(), &size);
    if (status == ERROR_SUCCESS) {
      data.resize(size);
      return true;
    }
    if (status != ERROR_MORE_DATA) return false;
  }
  return false;
}

class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : m_key(key) {}
  ~KeyCloser() { RegCloseKey(m_key); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY m_key;
};

class RegistryProxySettingsSource final : public ProxySettingsSource {
 public:
  bool Read(const std::string& /*interactiveHost*/, ProxySettings& settings) override {
    try {
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
      const KeyCloser closer(key);
      std::vector<BYTE> enable;
      std::vector<BYTE> server;
      if (!QueryValue(key, "ProxyEnable", enable) || !QueryValue(key, "ProxyServer", server))
        return false;
      settings.enabled = !enable.empty() && enable[0] != 0;
      const std::string text(server.begin(), server.end());
      settings.server = text.substr(0, text.find('\0'));
      return true;
    } catch (...) {
      return false;
    }
  }
};

}  // namespace

std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource() {
  return std::make_shared<RegistryProxySettingsSource>();
}

}  // namespace corvane
