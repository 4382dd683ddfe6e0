// What corvane.dll carries besides code: the type library (TYPELIB 1), the
// project name (string 100) and the version block; and the version blocks of
// the build's other shipped binaries.
#include <string>
#include <vector>

#include "com/corvane.h"
#include "tests/com/com_test_util.h"

namespace corvane::test {
namespace {

class ResourcesTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_NE(Server::Get().module, nullptr);
    ASSERT_EQ(LoadTypeLibEx(ServerPath().c_str(), REGKIND_NONE, &m_typeLib), S_OK);
  }
  void TearDown() override {
    if (m_typeLib != nullptr) m_typeLib->Release();
    ComTest::TearDown();
  }
  ITypeLib* m_typeLib = nullptr;
};

std::wstring Doc(ITypeInfo* info, MEMBERID id) {
  BSTR doc = nullptr;
  info->GetDocumentation(id, nullptr, &doc, nullptr, nullptr);
  std::wstring text = doc != nullptr ? doc : L"";
  SysFreeString(doc);
  return text;
}

TEST_F(ResourcesTest, LibraryIdentity) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(m_typeLib->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_CORVANELib));
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 1);
  m_typeLib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  m_typeLib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  EXPECT_STREQ(name, L"CORVANELib");
  EXPECT_STREQ(doc, L"Corvane 1.1 Type Library");
  SysFreeString(name);
  SysFreeString(doc);

  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(m_typeLib->GetTypeInfoOfGuid(CLSID_ComponentMethods, &coclass), S_OK);
  EXPECT_EQ(Doc(coclass, MEMBERID_NIL), L"ComponentMethods Class");
  coclass->Release();
}

// The vtable: IDispatch's seven slots, then the members in dispid order,
// each property's get before its putref, every argument a VARIANT.
TEST_F(ResourcesTest, InterfaceLayout) {
  ITypeInfo* dispatchInfo = nullptr;
  ASSERT_EQ(m_typeLib->GetTypeInfoOfGuid(IID_IComponentMethods, &dispatchInfo), S_OK);
  EXPECT_EQ(Doc(dispatchInfo, MEMBERID_NIL), L"IComponentMethods Interface");
  TYPEATTR* attr = nullptr;
  dispatchInfo->GetTypeAttr(&attr);
  EXPECT_TRUE((attr->wTypeFlags & TYPEFLAG_FDUAL) != 0);
  dispatchInfo->ReleaseTypeAttr(attr);

  // The vtable view of the dual interface.
  HREFTYPE ref = 0;
  ASSERT_EQ(dispatchInfo->GetRefTypeOfImplType(-1, &ref), S_OK);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(dispatchInfo->GetRefTypeInfo(ref, &info), S_OK);
  info->GetTypeAttr(&attr);
  ASSERT_EQ(attr->typekind, TKIND_INTERFACE);
  ASSERT_EQ(attr->cFuncs, 31);
  info->ReleaseTypeAttr(attr);

  struct Expected {
    MEMBERID id;
    INVOKEKIND kind;
    std::vector<std::wstring> names;  // member, then parameters
  };
  const Expected expected[] = {
      {1, INVOKE_FUNC, {L"SetProxyCredentials", L"vUserId", L"vPassword"}},
      {2, INVOKE_FUNC, {L"SendConnect", L"pRetVal"}},
      {5, INVOKE_FUNC, {L"ReceiveData", L"pData"}},
      {6, INVOKE_FUNC, {L"ConnectToServer", L"pRetVal"}},
      {7,
       INVOKE_FUNC,
       {L"SetServerDetails", L"vIpAddr", L"vInteractivePort", L"vBcastPort", L"vIPAddrFormatFlag",
        L"pRetVal"}},
      {8, INVOKE_FUNC, {L"setKeepAliveTimerDetail", L"vKeepAliveInterval"}},
      {9, INVOKE_FUNC, {L"setTimerDetails", L"vSocketReconnTime", L"vSocketReconnCount"}},
      {10, INVOKE_FUNC, {L"setEncryption", L"vbEncryption"}},
      {11, INVOKE_FUNC, {L"setCompression", L"vbCompression"}},
      {12, INVOKE_FUNC, {L"setMultiOC", L"vbMultiOC"}},
      {13, INVOKE_PROPERTYGET, {L"handleConnect", L"pVal"}},
      {13, INVOKE_PROPERTYPUTREF, {L"handleConnect", L"newVal"}},
      {14, INVOKE_PROPERTYGET, {L"handleConnectionFailure", L"pVal"}},
      {14, INVOKE_PROPERTYPUTREF, {L"handleConnectionFailure", L"newVal"}},
      {15, INVOKE_PROPERTYGET, {L"handleMaximumReConnection", L"pVal"}},
      {15, INVOKE_PROPERTYPUTREF, {L"handleMaximumReConnection", L"newVal"}},
      {17, INVOKE_PROPERTYGET, {L"handleDisConnect", L"pVal"}},
      {17, INVOKE_PROPERTYPUTREF, {L"handleDisConnect", L"newVal"}},
      {18,
       INVOKE_FUNC,
       {L"setOCDetails", L"vInteractiveIp", L"vInteractivePort", L"vBcastIp", L"vBcastPort",
        L"vPolicyIp", L"vPolicyPort"}},
      {19, INVOKE_PROPERTYGET, {L"handleData", L"pVal"}},
      {19, INVOKE_PROPERTYPUTREF, {L"handleData", L"newVal"}},
      {21, INVOKE_PROPERTYGET, {L"handleAuthentication", L"pVal"}},
      {21, INVOKE_PROPERTYPUTREF, {L"handleAuthentication", L"newVal"}},
      {22, INVOKE_FUNC, {L"startKeepAlive", L"sRequest", L"pRetVal"}},
      {23, INVOKE_FUNC, {L"sendRequest", L"vRequest", L"pRetVal"}},
      {24, INVOKE_FUNC, {L"sendBCRequest", L"vRequest", L"pRetVal"}},
      {25, INVOKE_PROPERTYGET, {L"handleBCDisConnect", L"pVal"}},
      {25, INVOKE_PROPERTYPUTREF, {L"handleBCDisConnect", L"newVal"}},
      {26, INVOKE_FUNC, {L"getPacketCount", L"pPacketCount"}},
      {27, INVOKE_FUNC, {L"getRequestCount", L"pReqCount"}},
      {28,
       INVOKE_FUNC,
       {L"setProxyServerDetails", L"vProxyIp", L"vProxyPort", L"vProxyUid", L"vProxyPwd",
        L"pRetVal"}},
  };
  const SHORT slot = static_cast<SHORT>(sizeof(void*));
  for (UINT i = 0; i < 31; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
    const Expected& e = expected[i];
    EXPECT_EQ(func->memid, e.id) << i;
    EXPECT_EQ(func->invkind, e.kind) << i;
    EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * slot)) << i;
    BSTR names[8] = {};
    UINT count = 0;
    info->GetNames(func->memid, names, 8, &count);
    if (e.kind == INVOKE_FUNC) {
      ASSERT_EQ(count, e.names.size()) << i;
      for (UINT n = 0; n < count; ++n) EXPECT_EQ(std::wstring(names[n]), e.names[n]) << i;
      for (SHORT p = 0; p < func->cParams; ++p) {
        const TYPEDESC& type = func->lprgelemdescParam[p].tdesc;
        const bool retval =
            (func->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FRETVAL) != 0;
        if (retval) {
          EXPECT_EQ(type.vt, VT_PTR) << i;
          EXPECT_EQ(type.lptdesc->vt, VT_VARIANT) << i;
        } else {
          EXPECT_EQ(type.vt, VT_VARIANT) << i;
        }
      }
    } else {
      EXPECT_EQ(std::wstring(names[0]), e.names[0]) << i;
      EXPECT_EQ(func->cParams, 1) << i;
    }
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    BSTR doc = nullptr;
    BSTR name = nullptr;
    info->GetDocumentation(func->memid, &name, &doc, nullptr, nullptr);
    const std::wstring prefix = e.kind == INVOKE_FUNC ? L"method " : L"property ";
    EXPECT_EQ(std::wstring(doc != nullptr ? doc : L""), prefix + e.names[0]) << i;
    SysFreeString(doc);
    SysFreeString(name);
    info->ReleaseFuncDesc(func);
  }
  info->Release();
  dispatchInfo->Release();
}

// IComponentMethods2: the first interface's 31 slots, then its five; the
// class's default interface, with the first one listed too.
TEST_F(ResourcesTest, SecondInterfaceLayout) {
  ITypeInfo* dispatchInfo = nullptr;
  ASSERT_EQ(m_typeLib->GetTypeInfoOfGuid(IID_IComponentMethods2, &dispatchInfo), S_OK);
  HREFTYPE ref = 0;
  ASSERT_EQ(dispatchInfo->GetRefTypeOfImplType(-1, &ref), S_OK);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(dispatchInfo->GetRefTypeInfo(ref, &info), S_OK);
  dispatchInfo->Release();
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  EXPECT_TRUE((attr->wTypeFlags & TYPEFLAG_FDUAL) != 0);
  ASSERT_EQ(attr->cFuncs, 5);
  info->ReleaseTypeAttr(attr);
  ITypeInfo* base = nullptr;
  ASSERT_EQ(info->GetRefTypeOfImplType(0, &ref), S_OK);
  ASSERT_EQ(info->GetRefTypeInfo(ref, &base), S_OK);
  base->GetTypeAttr(&attr);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IComponentMethods));
  base->ReleaseTypeAttr(attr);
  base->Release();

  const std::vector<std::wstring> expected[] = {
      {L"setTransportSecurity", L"vConnection", L"vMode", L"pRetVal"},
      {L"setServerPins", L"vConnection", L"vPins", L"pRetVal"},
      {L"getTransportSecurity", L"vConnection", L"pRetVal"},
      {L"setConflation", L"vTag", L"vMinimumIntervalMs", L"pRetVal"},
      {L"getConflatedCount", L"pRetVal"},
  };
  const SHORT slot = static_cast<SHORT>(sizeof(void*));
  for (UINT i = 0; i < 5; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
    EXPECT_EQ(func->memid, static_cast<MEMBERID>(29 + i));
    EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + 31 + i) * slot)) << i;
    BSTR names[8] = {};
    UINT count = 0;
    info->GetNames(func->memid, names, 8, &count);
    ASSERT_EQ(count, expected[i].size()) << i;
    for (UINT n = 0; n < count; ++n) {
      EXPECT_EQ(std::wstring(names[n]), expected[i][n]) << i;
      SysFreeString(names[n]);
    }
    EXPECT_TRUE((func->lprgelemdescParam[func->cParams - 1].paramdesc.wParamFlags &
                 PARAMFLAG_FRETVAL) != 0);
    info->ReleaseFuncDesc(func);
  }
  info->Release();

  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(m_typeLib->GetTypeInfoOfGuid(CLSID_ComponentMethods, &coclass), S_OK);
  coclass->GetTypeAttr(&attr);
  ASSERT_EQ(attr->cImplTypes, 2);
  coclass->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < 2; ++i) {
    INT flags = 0;
    ITypeInfo* face = nullptr;
    ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
    ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, &face), S_OK);
    face->GetTypeAttr(&attr);
    EXPECT_TRUE(IsEqualGUID(attr->guid, i == 0 ? IID_IComponentMethods2 : IID_IComponentMethods));
    EXPECT_EQ((flags & IMPLTYPEFLAG_FDEFAULT) != 0, i == 0);
    face->ReleaseTypeAttr(attr);
    face->Release();
  }
  coclass->Release();
}

TEST(Resources, ProjectNameString) {
  ASSERT_NE(Server::Get().module, nullptr);
  wchar_t text[64] = {};
  ASSERT_GT(LoadStringW(Server::Get().module, 100, text, 64), 0);
  EXPECT_STREQ(text, L"Corvane");
}

// The version block of every shipped binary of this build: CMake's project
// version (the test gets it from CMake, not from the header the resources are
// made from), and names that stay the same from one version to the next, what
// application control's publisher rules and installers read.
struct Shipped {
  std::wstring path;
  const wchar_t* fileName;
  bool selfRegister;
};

std::wstring Widen(const char* text) {
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

TEST(Resources, VersionBlocks) {
  std::vector<Shipped> binaries = {
      {ServerPath(), L"corvane.dll", true},
      {ProgramDirectory() + L"..\\tools\\script_host\\corvane-script.exe", L"corvane-script.exe",
       false},
  };
#ifdef CORVANE_TEST_BRIDGE
  binaries.push_back(
      {ProgramDirectory() + L"..\\tools\\corvane\\corvane.exe", L"corvane.exe", false});
#endif
  const DWORD major = CORVANE_TEST_VERSION_MAJOR, minor = CORVANE_TEST_VERSION_MINOR;
  const DWORD patch = CORVANE_TEST_VERSION_PATCH;
  for (const Shipped& binary : binaries) {
    SCOPED_TRACE(std::string(binary.path.begin(), binary.path.end()));
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(binary.path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(binary.path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, major << 16 | minor);
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, major << 16 | minor);
    EXPECT_EQ(fixed->dwProductVersionLS, patch << 16);
    const auto text = [&](const wchar_t* name) -> std::wstring {
      wchar_t* value = nullptr;
      const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
      if (!VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
        return L"(none)";
      return value;
    };
    EXPECT_EQ(text(L"ProductName"), L"Corvane");
    EXPECT_EQ(text(L"CompanyName"), L"Corvane");
    EXPECT_EQ(text(L"OriginalFilename"), binary.fileName);
    const std::wstring fileName = binary.fileName;
    EXPECT_EQ(text(L"InternalName"), fileName.substr(0, fileName.rfind(L'.')));
    const std::wstring description = text(L"FileDescription");
    EXPECT_TRUE(description.starts_with(L"Corvane "))
        << std::string(description.begin(), description.end());
    EXPECT_EQ(text(L"ProductVersion"), Widen(CORVANE_TEST_VERSION));
    EXPECT_EQ(text(L"FileVersion"), Widen(CORVANE_TEST_FILE_VERSION));
    EXPECT_EQ(text(L"OLESelfRegister") != L"(none)", binary.selfRegister);
  }
}

}  // namespace
}  // namespace corvane::test
