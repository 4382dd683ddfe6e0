// The registry script interpreter: parsing, and registering and
// unregistering into a scratch key that stands in for HKEY_CLASSES_ROOT.
#include "com/registrar.h"

#include <string>

#include "tests/com/com_test_util.h"

namespace corvane::test {
namespace {

using com::ParseRegistryScript;
using com::RegistryAction;
using com::RegistryScriptKey;
using com::RegistryScriptRoot;
using com::RunRegistryScriptText;

std::vector<RegistryScriptRoot> Parse(const std::wstring& script, std::wstring* error = nullptr,
                                      bool* ok = nullptr) {
  std::vector<RegistryScriptRoot> roots;
  const bool parsed = ParseRegistryScript(script, L"C:\\x\\corvane.dll", roots, error);
  if (ok != nullptr) *ok = parsed;
  return roots;
}

TEST(RegistryScriptParse, KeysValuesAndModes) {
  bool ok = false;
  auto roots = Parse(
      L"HKCR { NoRemove CLSID { ForceRemove {3AC681C5-024E-40A0-BFEB-CA6FE80983FF} = s 'A "
      L"Class' { InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Apartment' } "
      L"'Programmable' } } }",
      nullptr, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].root, HKEY_CLASSES_ROOT);
  ASSERT_EQ(roots[0].keys.size(), 1u);
  const RegistryScriptKey& clsid = roots[0].keys[0];
  EXPECT_EQ(clsid.name, L"CLSID");
  EXPECT_EQ(clsid.mode, RegistryScriptKey::Mode::kNoRemove);
  ASSERT_EQ(clsid.keys.size(), 1u);
  const RegistryScriptKey& cls = clsid.keys[0];
  EXPECT_EQ(cls.name, L"{3AC681C5-024E-40A0-BFEB-CA6FE80983FF}");
  EXPECT_EQ(cls.mode, RegistryScriptKey::Mode::kForceRemove);
  ASSERT_EQ(cls.values.size(), 1u);
  EXPECT_EQ(cls.values[0].text, L"A Class");
  ASSERT_EQ(cls.keys.size(), 2u);
  EXPECT_EQ(cls.keys[0].values[0].text, L"C:\\x\\corvane.dll");
  ASSERT_EQ(cls.keys[0].values.size(), 2u);
  EXPECT_EQ(cls.keys[0].values[1].name, L"ThreadingModel");
  EXPECT_EQ(cls.keys[0].values[1].text, L"Apartment");
  EXPECT_EQ(cls.keys[1].name, L"Programmable");
  EXPECT_TRUE(cls.keys[1].values.empty());
}

TEST(RegistryScriptParse, QuotesPercentAndNumbers) {
  bool ok = false;
  auto roots =
      Parse(L"HKCU { 'it''s' = s '100%% of ''%MODULE%''' { val n = d 42 val h = d 0x10 } }",
            nullptr, &ok);
  ASSERT_TRUE(ok);
  const RegistryScriptKey& key = roots[0].keys[0];
  EXPECT_EQ(key.name, L"it's");
  EXPECT_EQ(key.values[0].text, L"100% of 'C:\\x\\corvane.dll'");
  EXPECT_EQ(key.values[1].type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(key.values[1].number, 42u);
  EXPECT_EQ(key.values[2].number, 16u);
}

TEST(RegistryScriptParse, RejectsBrokenScripts) {
  for (const wchar_t* script :
       {L"HKCR { a = s 'open", L"HKCR { a { }", L"HKXX { a }", L"HKCR a", L"HKCR { val x = s 'y' }",
        L"HKCR { a = q 'y' }", L"HKCR { a = d 12z }", L"HKCR { a = s '%OTHER%' }", L"HKCR { '' }",
        L"HKCR { a = s }"}) {
    bool ok = true;
    std::wstring error;
    Parse(script, &error, &ok);
    EXPECT_FALSE(ok) << std::string(script, script + wcslen(script));
    EXPECT_FALSE(error.empty());
  }
  bool ok = false;
  Parse(L"", nullptr, &ok);
  EXPECT_TRUE(ok);
}

// HKEY_CLASSES_ROOT redirected to a scratch key for the test's duration.
class RegistrarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = L"Software\\CorvaneTest\\registrar-" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &m_scratch, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, m_scratch), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegCloseKey(m_scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
  }

  bool Exists(const wchar_t* sub) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(m_scratch, sub, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  std::wstring Text(const wchar_t* sub, const wchar_t* name = nullptr) {
    wchar_t data[256] = {};
    DWORD size = sizeof data;
    if (RegGetValueW(m_scratch, sub, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
      return L"<missing>";
    return data;
  }

  std::wstring m_path;
  HKEY m_scratch = nullptr;
};

const char kScript[] =
    "HKCR\n{\n"
    "\tApp.Thing = s 'Thing'\n\t{\n\t\tCLSID = s '{00000000-0000-0000-0000-000000000001}'\n\t}\n"
    "\tNoRemove CLSID\n\t{\n"
    "\t\tForceRemove {00000000-0000-0000-0000-000000000001} = s 'Thing'\n\t\t{\n"
    "\t\t\tInprocServer32 = s '%MODULE%'\n\t\t\t{\n\t\t\t\tval ThreadingModel = s 'Apartment'\n"
    "\t\t\t}\n\t\t\t'Programmable'\n\t\t}\n\t}\n}\n";

TEST_F(RegistrarTest, RegisterAndUnregister) {
  ASSERT_EQ(RunRegistryScriptText(kScript, L"C:\\m.dll", RegistryAction::kRegister), S_OK);
  EXPECT_EQ(Text(L"App.Thing"), L"Thing");
  EXPECT_EQ(Text(L"App.Thing\\CLSID"), L"{00000000-0000-0000-0000-000000000001}");
  EXPECT_EQ(Text(L"CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32"), L"C:\\m.dll");
  EXPECT_EQ(
      Text(L"CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32", L"ThreadingModel"),
      L"Apartment");
  EXPECT_TRUE(Exists(L"CLSID\\{00000000-0000-0000-0000-000000000001}\\Programmable"));

  // Another class under the NoRemove key survives unregistration.
  HKEY other = nullptr;
  RegCreateKeyExW(m_scratch, L"CLSID\\{00000000-0000-0000-0000-000000000002}", 0, nullptr, 0,
                  KEY_WRITE, nullptr, &other, nullptr);
  RegCloseKey(other);
  ASSERT_EQ(RunRegistryScriptText(kScript, L"C:\\m.dll", RegistryAction::kUnregister), S_OK);
  EXPECT_FALSE(Exists(L"App.Thing"));
  EXPECT_FALSE(Exists(L"CLSID\\{00000000-0000-0000-0000-000000000001}"));
  EXPECT_TRUE(Exists(L"CLSID"));
  EXPECT_TRUE(Exists(L"CLSID\\{00000000-0000-0000-0000-000000000002}"));
  // Nothing left to remove: still a success.
  EXPECT_EQ(RunRegistryScriptText(kScript, L"C:\\m.dll", RegistryAction::kUnregister), S_OK);
}

TEST_F(RegistrarTest, ForceRemoveClearsOldContentButPlainKeysKeepIt) {
  HKEY key = nullptr;
  RegCreateKeyExW(m_scratch, L"CLSID\\{00000000-0000-0000-0000-000000000001}\\Old", 0, nullptr, 0,
                  KEY_WRITE, nullptr, &key, nullptr);
  RegCloseKey(key);
  RegCreateKeyExW(m_scratch, L"App.Thing\\Extra", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  RegCloseKey(key);
  ASSERT_EQ(RunRegistryScriptText(kScript, L"C:\\m.dll", RegistryAction::kRegister), S_OK);
  EXPECT_FALSE(Exists(L"CLSID\\{00000000-0000-0000-0000-000000000001}\\Old"));
  EXPECT_TRUE(Exists(L"App.Thing\\Extra"));
}

TEST_F(RegistrarTest, BrokenScriptTouchesNothing) {
  const HRESULT hr = RunRegistryScriptText("HKCR { Early = s 'x' Broken = s 'y", L"C:\\m.dll",
                                           RegistryAction::kRegister);
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  EXPECT_FALSE(Exists(L"Early"));
}

}  // namespace
}  // namespace corvane::test
