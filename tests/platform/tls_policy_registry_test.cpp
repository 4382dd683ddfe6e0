// The registry as the source of the transport policy, against a scratch key
// that stands in for HKEY_LOCAL_MACHINE.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/tls_policy.h"

namespace corvane::test {
namespace {

constexpr wchar_t kPolicy[] = L"Software\\Policies\\Corvane\\ComponentMethods";

class RegistryTlsPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = L"Software\\CorvaneTest\\tls-policy-" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &m_scratch, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_scratch), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(m_scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
  }

  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(m_scratch, kPolicy, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  std::wstring m_path;
  HKEY m_scratch = nullptr;
};

TEST_F(RegistryTlsPolicyTest, NoKeyIsAnEmptyPolicy) {
  const TlsPolicy policy = SystemTlsPolicySource()->Read();
  EXPECT_TRUE(policy.servers.empty());
  EXPECT_FALSE(policy.refusePlain);
  EXPECT_TRUE(policy.integratedProxyAuth);
}

// Integrated proxy authentication is off only for the DWORD 1.
TEST_F(RegistryTlsPolicyTest, IntegratedProxyAuthentication) {
  const struct {
    DWORD type;
    DWORD value;
    bool on;
  } cases[] = {{REG_DWORD, 1, false}, {REG_DWORD, 0, true}, {REG_SZ, 1, true}};
  for (const auto& c : cases) {
    Set(L"DisableIntegratedProxyAuth", c.type, &c.value, sizeof c.value);
    EXPECT_EQ(SystemTlsPolicySource()->Read().integratedProxyAuth, c.on)
        << c.type << " " << c.value;
  }
}

TEST_F(RegistryTlsPolicyTest, ValuesOfEachType) {
  const struct {
    const char* what;
    DWORD type;
    std::wstring servers;  // with its terminating zeros
    DWORD refuseType;
    DWORD refuse;
    std::vector<std::string> expected;
    bool refusePlain;
  } cases[] = {
      {"a string",
       REG_SZ,
       std::wstring(L"a.example; *.b.example c.example:443\0", 38),
       REG_DWORD,
       1,
       {"a.example", "*.b.example", "c.example:443"},
       true},
      {"strings",
       REG_MULTI_SZ,
       std::wstring(L"a.example\0b.example;c.example\0\0", 32),
       REG_DWORD,
       0,
       {"a.example", "b.example", "c.example"},
       false},
      {"other types count as none",
       REG_BINARY,
       std::wstring(L"a.example\0", 10),
       REG_SZ,
       1,
       {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Set(L"TlsServers", c.type, c.servers.data(),
        static_cast<DWORD>(c.servers.size() * sizeof(wchar_t)));
    Set(L"RefusePlainConnections", c.refuseType, &c.refuse, sizeof c.refuse);
    const TlsPolicy policy = SystemTlsPolicySource()->Read();
    EXPECT_EQ(policy.servers, c.expected);
    EXPECT_EQ(policy.refusePlain, c.refusePlain);
  }
}

}  // namespace
}  // namespace corvane::test

#endif  // _WIN32
