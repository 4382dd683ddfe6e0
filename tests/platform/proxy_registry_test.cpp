// The registry as the source of proxy settings, against a scratch key that
// stands in for HKEY_CURRENT_USER.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/proxy_settings.h"

namespace corvane::test {
namespace {

constexpr wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

class RegistryProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = L"Software\\CorvaneTest\\proxy-" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &m_scratch, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, m_scratch), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(m_scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
  }

  // Narrow names and texts: the source reads through the ANSI functions.
  void Set(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(m_scratch, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetEnable(DWORD value) { Set("ProxyEnable", REG_DWORD, &value, sizeof value); }
  void SetServer(const std::string& text) {
    Set("ProxyServer", REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }
  void Set(const char* name, const std::string& bytes) {
    Set(name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
  }

  bool Read(ProxySettings& settings) {
    return SystemProxySettingsSource()->Read("interactive.example", settings);
  }

  std::wstring m_path;
  HKEY m_scratch = nullptr;
};

TEST_F(RegistryProxyTest, NoKeyIsAFailure) {
  ProxySettings settings;
  EXPECT_FALSE(Read(settings));
}

TEST_F(RegistryProxyTest, EitherValueMissingIsAFailure) {
  SetEnable(1);
  ProxySettings settings;
  EXPECT_FALSE(Read(settings));
  HKEY key = nullptr;
  RegOpenKeyExW(m_scratch, kSettings, 0, KEY_ALL_ACCESS, &key);
  RegDeleteValueW(key, L"ProxyEnable");
  RegCloseKey(key);
  SetServer("10.1.1.1:8080");
  EXPECT_FALSE(Read(settings));
}

TEST_F(RegistryProxyTest, EnabledWithServer) {
  SetEnable(1);
  SetServer("10.1.1.1:8080");
  ProxySettings settings;
  ASSERT_TRUE(Read(settings));
  EXPECT_TRUE(settings.enabled);
  EXPECT_EQ(settings.server, "10.1.1.1:8080");
}

TEST_F(RegistryProxyTest, DisabledWithServerPresent) {
  SetEnable(0);
  SetServer("10.1.1.1:8080");
  ProxySettings settings;
  ASSERT_TRUE(Read(settings));
  EXPECT_FALSE(settings.enabled);
}

TEST_F(RegistryProxyTest, OnlyTheFirstByteOfProxyEnableCounts) {
  SetServer("p:1");
  ProxySettings settings;
  SetEnable(0x100);  // first byte 0
  ASSERT_TRUE(Read(settings));
  EXPECT_FALSE(settings.enabled);
  SetEnable(0x2);
  ASSERT_TRUE(Read(settings));
  EXPECT_TRUE(settings.enabled);
  // Some tools write it as binary, longer than a DWORD.
  Set("ProxyEnable", std::string("\x01\0\0\0\0\0\0\0", 8));
  ASSERT_TRUE(Read(settings));
  EXPECT_TRUE(settings.enabled);
}

TEST_F(RegistryProxyTest, LongServerTextIsReadWhole) {
  SetEnable(1);
  const std::string server = "http=proxy-with-a-rather-long-name.corp.example:3128;https=other:1";
  SetServer(server);
  ProxySettings settings;
  ASSERT_TRUE(Read(settings));
  EXPECT_EQ(settings.server, server);
  const std::string huge(5000, 'h');
  SetServer(huge + ":8080");
  ASSERT_TRUE(Read(settings));
  EXPECT_EQ(settings.server, huge + ":8080");
}

TEST_F(RegistryProxyTest, TextEndsAtItsFirstZeroByte) {
  SetEnable(1);
  Set("ProxyServer", std::string("a:1\0junk", 8));
  ProxySettings settings;
  ASSERT_TRUE(Read(settings));
  EXPECT_EQ(settings.server, "a:1");
  // No terminating zero at all.
  Set("ProxyServer", std::string("b:2", 3));
  ASSERT_TRUE(Read(settings));
  EXPECT_EQ(settings.server, "b:2");
}

TEST_F(RegistryProxyTest, ChangesShowAtTheNextRead) {
  SetEnable(1);
  SetServer("one:1");
  auto source = SystemProxySettingsSource();
  ProxySettings settings;
  ASSERT_TRUE(source->Read("", settings));
  EXPECT_EQ(settings.server, "one:1");
  SetServer("two:2");
  SetEnable(0);
  ASSERT_TRUE(source->Read("", settings));
  EXPECT_EQ(settings.server, "two:2");
  EXPECT_FALSE(settings.enabled);
}

// "ProxyOverride" sends the servers it names directly; loopback is always
// direct unless the list says "<-loopback>".
TEST_F(RegistryProxyTest, BypassListPerServer) {
  SetEnable(1);
  SetServer("10.1.1.1:8080");
  struct Case {
    const char* overrides;  // nullptr: no value
    const char* host;
    bool enabled;
  } cases[] = {
      {nullptr, "interactive.example", true},
      {nullptr, "127.0.0.1", false},
      {nullptr, "localhost", false},
      {"*.example", "interactive.example", false},
      {"*.EXAMPLE", "Interactive.Example", false},
      {"*.example", "interactive.example.org", true},
      {"<local>", "intranet", false},
      {"<local>", "interactive.example", true},
      {"other.example; 10.*", "10.2.3.4", false},
      {"<-loopback>", "127.0.0.1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " / " + (c.overrides ? c.overrides : "(none)"));
    if (c.overrides != nullptr) {
      Set("ProxyOverride", REG_SZ, c.overrides, static_cast<DWORD>(std::strlen(c.overrides) + 1));
    } else {
      HKEY key = nullptr;
      RegOpenKeyExW(m_scratch, kSettings, 0, KEY_ALL_ACCESS, &key);
      RegDeleteValueW(key, L"ProxyOverride");
      RegCloseKey(key);
    }
    ProxySettings settings;
    ASSERT_TRUE(SystemProxySettingsSource()->Read(c.host, settings));
    EXPECT_EQ(settings.enabled, c.enabled);
    EXPECT_EQ(settings.server, "10.1.1.1:8080");
    EXPECT_TRUE(settings.candidates.empty());
  }
}

// A PAC file that cannot be fetched leaves the manual settings in force.
TEST_F(RegistryProxyTest, UnreachableAutoConfigurationFallsBackToManual) {
  SetEnable(1);
  SetServer("10.1.1.1:8080");
  const std::string url = "http://127.0.0.1:1/proxy.pac";
  Set("AutoConfigURL", REG_SZ, url.c_str(), static_cast<DWORD>(url.size() + 1));
  ProxySettings settings;
  ASSERT_TRUE(Read(settings));
  EXPECT_TRUE(settings.candidates.empty());
  EXPECT_TRUE(settings.enabled);
  EXPECT_EQ(settings.server, "10.1.1.1:8080");
}

}  // namespace
}  // namespace corvane::test

#endif  // _WIN32
