// corvane.dll's self-registration in this machine's registry (the test
// prefix's): the keys it writes, the ones it removes, and the CLSID key it
// leaves. The test leaves the server registered, as regsvr32 would.
#include <string>

#include "com/module.h"
#include "tests/com/com_test_util.h"

namespace corvane::test {
namespace {

constexpr wchar_t kClsid[] = L"{3AC681C5-024E-40A0-BFEB-CA6FE80983FF}";
constexpr wchar_t kLibid[] = L"{76707E09-FD4D-49FD-B42D-2B27424A0581}";

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// The string value (default when name is null); "<missing>" when absent.
std::wstring Value(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t data[1024] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_ANY, &type, data, &size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  if (type != REG_SZ) return L"<not a string>";
  return data;
}

class RegistrationTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_NE(Server::Get().module, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(Server::Get().registerServer(), S_OK);
    ComTest::TearDown();
  }
};

TEST_F(RegistrationTest, RegisterWritesTheScriptsKeys) {
  ASSERT_EQ(Server::Get().registerServer(), S_OK);
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsid;
  EXPECT_EQ(Value(L"Corvane.ComponentMethods.1"), L"ComponentMethods Class");
  EXPECT_EQ(Value(L"Corvane.ComponentMethods.1\\CLSID"), kClsid);
  EXPECT_EQ(Value(L"Corvane.ComponentMethods"), L"ComponentMethods Class");
  EXPECT_EQ(Value(L"Corvane.ComponentMethods\\CLSID"), kClsid);
  EXPECT_EQ(Value(L"Corvane.ComponentMethods\\CurVer"), L"Corvane.ComponentMethods.1");
  EXPECT_EQ(Value(clsidKey), L"ComponentMethods Class");
  EXPECT_EQ(Value(clsidKey + L"\\ProgID"), L"Corvane.ComponentMethods.1");
  EXPECT_EQ(Value(clsidKey + L"\\VersionIndependentProgID"), L"Corvane.ComponentMethods");
  EXPECT_TRUE(KeyExists(clsidKey + L"\\Programmable"));
  EXPECT_EQ(Value(clsidKey + L"\\TypeLib"), kLibid);
  const std::wstring server = Value(clsidKey + L"\\InprocServer32");
  EXPECT_EQ(CompareStringOrdinal(server.c_str(), -1, ServerPath().c_str(), -1, TRUE), CSTR_EQUAL)
      << std::string(server.begin(), server.end());
  EXPECT_EQ(Value(clsidKey + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  // The type library is registered too.
  EXPECT_TRUE(KeyExists(std::wstring(L"TypeLib\\") + kLibid + L"\\1.1"));
  EXPECT_EQ(Value(std::wstring(L"TypeLib\\") + kLibid + L"\\1.1"), L"Corvane 1.1 Type Library");
  // Both interfaces, as the library's.
  for (const wchar_t* iid :
       {L"{C4060D7B-3018-4E15-AD17-62BFCC3C6E71}", L"{4BBCDDA4-3BDC-4823-BFE8-A88145C707DD}"})
    EXPECT_EQ(Value(std::wstring(L"Interface\\") + iid + L"\\TypeLib"), kLibid);

  // The ProgIDs lead to the class.
  CLSID clsid = {};
  EXPECT_EQ(CLSIDFromProgID(L"Corvane.ComponentMethods", &clsid), S_OK);
  EXPECT_EQ(CLSIDFromProgID(L"Corvane.ComponentMethods.1", &clsid), S_OK);
}

TEST_F(RegistrationTest, RegisterReplacesTheClassKeyWhole) {
  const std::wstring stale = std::wstring(L"CLSID\\") + kClsid + L"\\Stale";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Server::Get().registerServer(), S_OK);
  EXPECT_FALSE(KeyExists(stale));
  EXPECT_TRUE(KeyExists(std::wstring(L"CLSID\\") + kClsid + L"\\InprocServer32"));
}

TEST_F(RegistrationTest, UnregisterRemovesTheKeysButNotClsid) {
  ASSERT_EQ(Server::Get().registerServer(), S_OK);
  ASSERT_EQ(Server::Get().unregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(L"Corvane.ComponentMethods.1"));
  EXPECT_FALSE(KeyExists(L"Corvane.ComponentMethods"));
  EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + kClsid));
  EXPECT_TRUE(KeyExists(L"CLSID"));
  EXPECT_FALSE(KeyExists(std::wstring(L"TypeLib\\") + kLibid + L"\\1.1"));
  CLSID clsid = {};
  EXPECT_NE(CLSIDFromProgID(L"Corvane.ComponentMethods", &clsid), S_OK);
  // A second unregistration finds nothing to remove and still succeeds.
  EXPECT_EQ(Server::Get().unregisterServer(), S_OK);
}

// The 32-bit and the 64-bit DLL register side by side; unregistering one
// leaves what the other needs (the ProgIDs and the interface are shared by
// both views, the type library names both DLLs).
TEST_F(RegistrationTest, UnregisterKeepsTheSharedKeysWhileTheOtherArchitectureIsRegistered) {
  REGSAM view = 0;
  if (!com::OtherRegistryView(view)) GTEST_SKIP() << "no other registry view on this system";
  const std::wstring server = std::wstring(L"CLSID\\") + kClsid + L"\\InprocServer32";
  HKEY key = nullptr;
  ASSERT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_READ | view, &key),
            ERROR_SUCCESS)
      << "the other architecture's DLL is registered in this prefix";
  ASSERT_EQ(Server::Get().registerServer(), S_OK);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, nullptr, 0, KEY_WRITE | view,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::wstring typeLib = std::wstring(L"TypeLib\\") + kLibid + L"\\1.1";
  const wchar_t* ownPath = sizeof(void*) == 8 ? L"\\0\\win64" : L"\\0\\win32";

  EXPECT_EQ(Server::Get().unregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + kClsid));
  EXPECT_FALSE(KeyExists(typeLib + ownPath));
  EXPECT_EQ(Value(L"Corvane.ComponentMethods\\CLSID"), kClsid);
  EXPECT_EQ(Value(L"Corvane.ComponentMethods\\CurVer"), L"Corvane.ComponentMethods.1");
  EXPECT_EQ(Value(L"Corvane.ComponentMethods.1\\CLSID"), kClsid);
  EXPECT_EQ(Value(typeLib), L"Corvane 1.1 Type Library");
  EXPECT_EQ(Value(L"Interface\\{C4060D7B-3018-4E15-AD17-62BFCC3C6E71}\\TypeLib"), kLibid);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_READ | view, &key),
            ERROR_SUCCESS)
      << "the other view's class key was removed";
  if (key != nullptr) RegCloseKey(key);

  // Registered alone, unregistering removes everything again.
  ASSERT_EQ(RegDeleteKeyExW(HKEY_CLASSES_ROOT, server.c_str(), view, 0), ERROR_SUCCESS);
  ASSERT_EQ(Server::Get().registerServer(), S_OK);
  EXPECT_EQ(Server::Get().unregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(L"Corvane.ComponentMethods"));
  EXPECT_FALSE(KeyExists(L"Corvane.ComponentMethods.1"));
  EXPECT_FALSE(KeyExists(typeLib));
  const std::wstring classKey = std::wstring(L"CLSID\\") + kClsid;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, classKey.c_str(), 0, KEY_READ | view, &key) ==
      ERROR_SUCCESS) {
    // The other view's (empty) class key stays as the test left it.
    RegCloseKey(key);
    RegDeleteKeyExW(HKEY_CLASSES_ROOT, classKey.c_str(), view, 0);
  }
}

TEST_F(RegistrationTest, CreatedByProgIdOnceRegistered) {
  ASSERT_EQ(Server::Get().registerServer(), S_OK);
  for (const wchar_t* progId : {L"Corvane.ComponentMethods", L"Corvane.ComponentMethods.1"}) {
    CLSID clsid = {};
    ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    IDispatch* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    object->Release();
  }
}

}  // namespace
}  // namespace corvane::test
