// The current user's proxy configuration on Windows, in the order a browser
// applies it:
//
// 1. Automatic configuration, through WinHTTP: the PAC file named by the
//    user's configuration (WinHttpGetIEProxyConfigForCurrentUser, else the
//    "AutoConfigURL" value of Internet Settings, which policies and older
//    settings pages write), or WPAD discovery when "Automatically detect
//    settings" is recorded in the user's connection settings. WinHTTP runs
//    the script for "http://<server>/" and its answer becomes the list of
//    proxies to try in order (an empty entry for DIRECT). A discovery that
//    finds nothing is not retried for ten minutes (process-wide), so that
//    attempts do not each wait for it.
// 2. The manual settings, when automatic configuration is off or fails:
//    HKEY_CURRENT_USER "Software\Microsoft\Windows\CurrentVersion\Internet
//    Settings", "ProxyEnable" (its first byte; a REG_DWORD on every system we
//    know) and "ProxyServer" (host:port, or a per-protocol list that the
//    component resolves), with "ProxyOverride" (the bypass list, optional)
//    checked against the server's name: a match, or a loopback name, means a
//    direct connection. When those values cannot be read, the manual proxy of
//    WinHTTP's view of the configuration is used if it has one.
//
// The key is opened for reading only: a process with write access denied to
// HKCU (a low-integrity browser) still finds its proxy. Values are read whole,
// however long; a text ends at its first zero character. Without any
// configuration Read fails, and the caller then connects directly.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/proxy_rules.h"
#include "platform/proxy_settings.h"

namespace corvane {
namespace {

constexpr char kInternetSettings[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char kConnections[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
// How long a PAC file's download (each of resolve, connect, send, receive) may take.
constexpr int kPacTimeoutMs = 5000;

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

std::string TextOf(const std::vector<BYTE>& data) {
  const std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
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

// A text value of a key under HKCU; empty when absent.
std::string ReadText(const char* path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  const KeyCloser closer(key);
  std::vector<BYTE> data;
  return QueryValue(key, name, data) ? TextOf(data) : std::string();
}

bool HasValue(const char* path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const KeyCloser closer(key);
  return RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), n, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(n - 1));
  return narrow;
}

// WinHTTP's view of the user's configuration, its strings freed on the way out.
struct IeConfig {
  bool read = false;
  bool autoDetect = false;
  std::string autoConfigUrl;
  std::string proxy;
  std::string bypass;
};

IeConfig ReadIeConfig() {
  IeConfig config;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&ie)) return config;
  config.read = true;
  config.autoDetect = ie.fAutoDetect != FALSE;
  config.autoConfigUrl = Narrow(ie.lpszAutoConfigUrl);
  config.proxy = Narrow(ie.lpszProxy);
  config.bypass = Narrow(ie.lpszProxyBypass);
  if (ie.lpszAutoConfigUrl != nullptr) GlobalFree(ie.lpszAutoConfigUrl);
  if (ie.lpszProxy != nullptr) GlobalFree(ie.lpszProxy);
  if (ie.lpszProxyBypass != nullptr) GlobalFree(ie.lpszProxyBypass);
  return config;
}

// A WinHTTP session used only to evaluate automatic configuration.
class PacSession {
 public:
  PacSession() = default;
  ~PacSession() {
    if (m_session != nullptr) WinHttpCloseHandle(m_session);
  }
  PacSession(const PacSession&) = delete;
  PacSession& operator=(const PacSession&) = delete;

  // The proxies for http://host/ by the PAC file at url (empty: discover it
  // by WPAD); false when there is no answer.
  bool Candidates(const std::string& url, const std::string& host,
                  std::vector<std::string>& candidates, std::string& unusable) {
    if (m_session == nullptr) {
      // Made on first use: most users have no automatic configuration.
      m_session = WinHttpOpen(L"Corvane", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
      if (m_session == nullptr) return false;
      WinHttpSetTimeouts(m_session, kPacTimeoutMs, kPacTimeoutMs, kPacTimeoutMs, kPacTimeoutMs);
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    const std::wstring wideUrl = Widen(url);
    if (url.empty()) {
      options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
      options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = wideUrl.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    const std::wstring target = L"http://" + Widen(host) + L"/";
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(m_session, target.c_str(), &options, &info)) return false;
    const std::string proxies = Narrow(info.lpszProxy);
    if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
    bool othersOnly = false;
    candidates = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY
                     ? ProxyCandidatesFromList(proxies, &othersOnly)
                     : std::vector<std::string>{std::string()};
    if (othersOnly) {
      unusable = "the automatic configuration names no HTTP proxy: " + proxies.substr(0, 200);
      return true;
    }
    return !candidates.empty();
  }

 private:
  HINTERNET m_session = nullptr;
};

// WPAD discovery that found nothing, remembered for the process.
std::mutex g_discoveryMutex;
std::chrono::steady_clock::time_point g_discoveryFailedAt;
bool g_discoveryFailed = false;

bool DiscoveryRecentlyFailed() {
  std::lock_guard<std::mutex> lock(g_discoveryMutex);
  return g_discoveryFailed &&
         std::chrono::steady_clock::now() - g_discoveryFailedAt < std::chrono::minutes(10);
}

void NoteDiscoveryFailed() {
  std::lock_guard<std::mutex> lock(g_discoveryMutex);
  g_discoveryFailed = true;
  g_discoveryFailedAt = std::chrono::steady_clock::now();
}

class SystemProxySource final : public ProxySettingsSource {
 public:
  bool Read(const std::string& serverHost, ProxySettings& settings) override {
    try {
      settings = ProxySettings{};
      const IeConfig ie = ReadIeConfig();
      if (Automatic(ie, serverHost, settings.candidates, settings.unusable)) return true;
      settings.candidates.clear();
      settings.unusable.clear();
      return Manual(ie, serverHost, settings);
    } catch (...) {
      return false;
    }
  }

 private:
  bool Automatic(const IeConfig& ie, const std::string& host, std::vector<std::string>& out,
                 std::string& unusable) {
    std::string url = ie.autoConfigUrl;
    if (url.empty()) url = ReadText(kInternetSettings, "AutoConfigURL");
    // Discovery only when the user's recorded settings ask for it (without
    // any record WinHTTP reports it on, and a lookup would delay every
    // attempt on a machine that was never configured).
    const bool discover = ie.read && ie.autoDetect &&
                          HasValue(kConnections, "DefaultConnectionSettings") &&
                          !DiscoveryRecentlyFailed();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!url.empty() && m_pac.Candidates(url, host, out, unusable)) return true;
    if (discover) {
      if (m_pac.Candidates(std::string(), host, out, unusable)) return true;
      NoteDiscoveryFailed();
    }
    return false;
  }

  static bool Manual(const IeConfig& ie, const std::string& host, ProxySettings& settings) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      const KeyCloser closer(key);
      std::vector<BYTE> enable;
      std::vector<BYTE> server;
      if (QueryValue(key, "ProxyEnable", enable) && QueryValue(key, "ProxyServer", server)) {
        std::vector<BYTE> bypass;
        const std::string overrides =
            QueryValue(key, "ProxyOverride", bypass) ? TextOf(bypass) : "";
        settings.server = TextOf(server);
        settings.enabled =
            !enable.empty() && enable[0] != 0 && !ProxyOverrideBypasses(host, overrides);
        return true;
      }
    }
    if (ie.read && !ie.proxy.empty()) {
      settings.server = ie.proxy;
      settings.enabled = !ProxyOverrideBypasses(host, ie.bypass);
      return true;
    }
    return false;
  }

  std::mutex m_mutex;  // one evaluation at a time on the session
  PacSession m_pac;
};

}  // namespace

std::shared_ptr<ProxySettingsSource> SystemProxySettingsSource() {
  return std::make_shared<SystemProxySource>();
}

}  // namespace corvane
