// The built corvane.dll as a host meets it: a fixture with the class object,
// a loopback port where nothing listens, calls by name as a script engine
// makes them, and an aggregating outer object.
#pragma once

#include <objsafe.h>
#include <ocidl.h>
#include <winsock2.h>

#include <vector>

#include "com/corvane.h"
#include "tests/com/com_test_util.h"

namespace corvane::test {

class ServerTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_NE(Server::Get().module, nullptr) << "corvane.dll not found beside the tests";
    ASSERT_TRUE(SUCCEEDED(Server::Get().getClassObject(CLSID_ComponentMethods, IID_IClassFactory,
                                                       reinterpret_cast<void**>(&m_factory))));
  }
  void TearDown() override {
    if (m_factory != nullptr) m_factory->Release();
    ComTest::TearDown();
  }

  IComponentMethods* Create() {
    IComponentMethods* object = nullptr;
    EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IComponentMethods,
                                        reinterpret_cast<void**>(&object)),
              S_OK);
    return object;
  }

  IClassFactory* m_factory = nullptr;
};

// A loopback port with nothing listening.
inline int ClosedPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(s);
  WSACleanup();
  return ntohs(address.sin_port);
}

// Calls a member by name as a script engine does (DISPATCH_METHOD), the
// arguments given in script order.
inline HRESULT CallByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args,
                          VARIANT* result, WORD flags = DISPATCH_METHOD) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  DISPID put = DISPID_PROPERTYPUT;
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception = {};
  UINT argError = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                      &argError);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  for (VARIANT& v : args) VariantClear(&v);
  return hr;
}

// An aggregating object: answers IUnknown itself and everything else from
// the aggregated component.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (inner == nullptr) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return inner->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }

  LONG refs = 1;
  IUnknown* inner = nullptr;
};

}  // namespace corvane::test
