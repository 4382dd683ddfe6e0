// The member table against the type library: the library's own description
// of IComponentMethods and IComponentMethods2, and ITypeInfo::Invoke (which dispatched the calls
// before the table did) as the peer of IDispatch::Invoke.
#include <cwctype>
#include <span>
#include <tuple>
#include <vector>

#include "com/variant_conversion.h"
#include "component/members.h"
#include "tests/com/server_fixture.h"

namespace corvane::test {
namespace {

// The vtable interfaces' type information, from the DLL's own type library:
// IComponentMethods, then IComponentMethods2 that extends it (vtable order).
std::vector<ITypeInfo*> InterfaceTypeInfos() {
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLibEx(ServerPath().c_str(), REGKIND_NONE, &library))) return {};
  std::vector<ITypeInfo*> infos;
  for (REFIID iid : {IID_IComponentMethods, IID_IComponentMethods2}) {
    ITypeInfo* info = nullptr;
    library->GetTypeInfoOfGuid(iid, &info);
    if (info == nullptr) break;
    // A dual interface's dispinterface names its vtable interface as -1.
    HREFTYPE vtable = 0;
    ITypeInfo* functions = nullptr;
    if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable)))
      info->GetRefTypeInfo(vtable, &functions);
    info->Release();
    if (functions == nullptr) break;
    infos.push_back(functions);
  }
  library->Release();
  return infos;
}

TEST_F(ServerTest, EveryFunctionOfTheTypeLibraryIsARowOfTheTable) {
  const std::vector<ITypeInfo*> infos = InterfaceTypeInfos();
  ASSERT_EQ(infos.size(), 2u);
  // The second interface derives from the first.
  HREFTYPE base = 0;
  ITypeInfo* baseInfo = nullptr;
  ASSERT_EQ(infos[1]->GetRefTypeOfImplType(0, &base), S_OK);
  ASSERT_EQ(infos[1]->GetRefTypeInfo(base, &baseInfo), S_OK);
  TYPEATTR* baseAttr = nullptr;
  ASSERT_EQ(baseInfo->GetTypeAttr(&baseAttr), S_OK);
  EXPECT_TRUE(IsEqualGUID(baseAttr->guid, IID_IComponentMethods));
  baseInfo->ReleaseTypeAttr(baseAttr);
  baseInfo->Release();

  const std::span<const Member> rows = Members();
  size_t next = 0;  // the row the next function pairs with
  for (ITypeInfo* info : infos) {
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    for (UINT i = 0; i < attr->cFuncs; ++i, ++next) {
      ASSERT_LT(next, rows.size());
      FUNCDESC* f = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
      BSTR name = nullptr;
      UINT names = 0;
      ASSERT_EQ(info->GetNames(f->memid, &name, 1, &names), S_OK);
      const std::string text = com::NarrowText(name, SysStringLen(name));
      SCOPED_TRACE(text);
      const bool retval =
          f->cParams > 0 &&
          (f->lprgelemdescParam[f->cParams - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL) != 0;
      // Rows and functions pair off in vtable order.
      const Member* row = FindMember(f->memid, static_cast<unsigned>(f->invkind));
      EXPECT_EQ(row, &rows[next]);
      ASSERT_NE(row, nullptr);
      EXPECT_EQ(row->name, text);
      EXPECT_EQ(row->inArgs, f->cParams - (retval ? 1 : 0));
      EXPECT_EQ(row->hasResult, retval);
      // Both look names up without regard to case; the exact match does not.
      std::wstring upper(name, SysStringLen(name));
      for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
      LPOLESTR lookup = upper.data();
      MEMBERID id = 0;
      EXPECT_TRUE(info->GetIDsOfNames(&lookup, 1, &id) == S_OK && id == f->memid);
      const std::string upperText = com::NarrowText(lookup, upper.size());
      EXPECT_EQ(FindMember(upperText, f->invkind), row);
      EXPECT_EQ(FindMember(upperText, f->invkind, NameMatch::kExact), nullptr);
      SysFreeString(name);
      info->ReleaseFuncDesc(f);
    }
    info->ReleaseTypeAttr(attr);
    info->Release();
  }
  EXPECT_EQ(next, rows.size());
}

VARIANT Ref(VARIANT* target, VARTYPE vt = VT_BYREF | VT_VARIANT) {
  VARIANT v;
  V_VT(&v) = vt;
  V_VARIANTREF(&v) = target;
  return v;
}

// Every rule of IDispatch::Invoke that ITypeInfo::Invoke applied, case by
// case on two objects: one called through its own Invoke, one through the
// type information.
TEST_F(ServerTest, InvokeAgreesWithTheTypeInformation) {
  IComponentMethods* own = Create();
  IComponentMethods* peer = Create();
  ITypeInfo* info = nullptr;
  ASSERT_EQ(own->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
  FakeFunction function;
  own->putref_handleData(&function);
  peer->putref_handleData(&function);
  // startKeepAlive fails with E_FAIL on a live connection and a negative period.
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {AF_INET, 0, {}, {}};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), length);
  listen(listener, 4);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const LONG live = ntohs(address.sin_port), closed = ClosedPort();

  VARIANT text = Str(L"127.0.0.1"), port = I4(closed);
  const WORD call = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
  const DISPID put = DISPID_PROPERTYPUT;
  struct Case {
    const char* what;
    DISPID id;
    WORD flags;
    std::vector<VARIANT> args;       // script order, after the named ones
    std::vector<DISPID> names = {};  // of the first arguments
    bool result = true;
    bool params = true;
  } cases[] = {
      {"a failing member", 22, call, {Str(L"")}},
      {"a method, as engines call", 26, call, {}},
      {"a method read as a property", 26, DISPATCH_PROPERTYGET, {}},
      {"a method assigned", 12, DISPATCH_PROPERTYPUT, {I4(1)}, {put}},
      {"a surplus argument, with a result", 26, call, {I4(1)}},
      {"surplus arguments, no result", 9, call, {I4(1), I4(2), I4(3)}},
      {"a missing argument", 9, call, {I4(1)}},
      {"no result pointer", 27, call, {}, {}, false},
      {"no parameters", 27, call, {}, {}, true, false},
      {"script order", 7, call, {Str(L"127.0.0.1"), I4(closed), I4(0), I4(1)}},
      {"by reference", 7, call, {Ref(&text), Ref(&port), I4(0), I4(1)}},
      {"named by position", 7, call, {I4(1), Str(L"127.0.0.1"), I4(0), I4(closed)}, {3, 0, 2, 1}},
      {"one named, the rest positional",
       7,
       call,
       {I4(1), Str(L"127.0.0.1"), I4(closed), I4(0)},
       {3}},
      {"a malformed argument", 10, call, {Ref(nullptr, VT_BYREF | VT_EMPTY)}},
      {"a get, as engines call", 19, call, {}},
      {"a get called as a method", 19, DISPATCH_METHOD, {}},
      {"a get with an argument goes to the value", 19, call, {I4(7)}},
      {"a get with an argument, no result pointer", 19, call, {I4(7)}, {}, false},
      {"an unused dispid", 3, call, {}},
      // The second interface's members, through its vtable slots.
      {"transport security", 29, call, {I4(1), I4(1)}},
      {"transport security refused", 29, call, {I4(3), I4(1)}},
      {"pins", 30, call, {I4(0), Str(L"sha256/AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")}},
      {"malformed pins", 30, call, {I4(2), Str(L"sha256/x")}},
      {"the transport of a plain connection", 31, call, {I4(1)}},
      {"conflation", 32, call, {I4(55), I4(0)}},
      {"conflation refused", 32, call, {Str(L"x"), I4(0)}},
      {"the conflated count", 33, call, {}},
  };
  for (IComponentMethods* object : {own, peer}) {
    CallByName(object, L"SetServerDetails", {Str(L"127.0.0.1"), I4(live), I4(0), I4(1)}, nullptr);
    CallByName(object, L"setKeepAliveTimerDetail", {I4(-1)}, nullptr);
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<VARIANT> reversed(c.args.begin(), c.args.begin() + c.names.size());
    reversed.insert(reversed.end(), c.args.rbegin(), c.args.rend() - c.names.size());
    DISPPARAMS params = {reversed.data(), c.names.data(), static_cast<UINT>(reversed.size()),
                         static_cast<UINT>(c.names.size())};
    // What each path gave back: HRESULT, result type and value (an integer
    // or an object), scode, calls the callback object received.
    std::tuple<HRESULT, VARTYPE, LONGLONG, SCODE, size_t> outcomes[2];
    for (int path = 0; path < 2; ++path) {
      VARIANT result = I4(4321);  // a result not written stays
      EXCEPINFO exception = {};
      const size_t before = function.calls.size();
      const HRESULT hr = path == 0
                             ? own->Invoke(c.id, IID_NULL, LOCALE_USER_DEFAULT, c.flags,
                                           c.params ? &params : nullptr,
                                           c.result ? &result : nullptr, &exception, nullptr)
                             : info->Invoke(peer, c.id, c.flags, c.params ? &params : nullptr,
                                            c.result ? &result : nullptr, &exception, nullptr);
      LONGLONG value = 0;
      if (V_VT(&result) == VT_DISPATCH) value = reinterpret_cast<LONGLONG>(V_DISPATCH(&result));
      if (V_VT(&result) == VT_I4 || V_VT(&result) == VT_INT) value = V_I4(&result);
      outcomes[path] = {hr, V_VT(&result), value, exception.scode, function.calls.size() - before};
      VariantClear(&result);
      SysFreeString(exception.bstrSource);
      SysFreeString(exception.bstrDescription);
      SysFreeString(exception.bstrHelpFile);
    }
    EXPECT_EQ(outcomes[0], outcomes[1]);
    for (VARIANT& v : c.args) VariantClear(&v);
  }
  // Where the type information would call through a null pointer (a get with
  // an argument, of an empty slot), the call fails.
  VARIANT got;
  VariantInit(&got);
  EXPECT_EQ(CallByName(own, L"handleConnect", {I4(7)}, &got, call), DISP_E_NOTACOLLECTION);
  VariantClear(&text);
  closesocket(listener);
  WSACleanup();
  info->Release();
  own->Release();
  peer->Release();
  EXPECT_EQ(function.refs, 1);
}

}  // namespace
}  // namespace corvane::test
