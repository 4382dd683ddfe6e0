// The COM object ComponentMethods: a CComponentMethods behind the dual
// interfaces IComponentMethods2 and IComponentMethods (one vtable: the second
// interface extends the first), IObjectSafety and IObjectWithSite.
//
// QueryInterface answers IComponentMethods2, IComponentMethods, IDispatch, IObjectSafety,
// IObjectWithSite and IUnknown. The object can be aggregated: its own IUnknown (m_inner) counts
// references and answers QueryInterface; the interfaces it hands out delegate
// to the controlling unknown (the aggregating object's, or m_inner).
// IDispatch::Invoke calls the core through the member table
// (member_dispatch.h); names and type information come from the module's type
// library. The vtable methods convert VARIANTs to Variants and back; neither
// face lets an exception through. Each object counts as a
// module lock until its final release, which destroys the core (ending its
// reader threads first) and with it the hidden window, on the object's thread.
//
// The site lock (object_with_site.cpp): a page whose site the administrator's
// list does not allow gets an object that refuses, for good: every member of
// IComponentMethods and IDispatch::Invoke fail with E_ACCESSDENIED, object
// safety fails with E_FAIL, and the core goes (connections closed, callbacks
// let go) as soon as none of its code is on the stack.
#pragma once

#include <objsafe.h>
#include <ocidl.h>
#include <windows.h>

#include <memory>

#include "com/corvane.h"
#include "component/component_methods.h"

namespace corvane::com {

class ComponentObject final : public IComponentMethods2,
                              public IObjectSafety,
                              public IObjectWithSite {
 public:
  // Makes the object with its core (reset values, hidden window); on success
  // *object holds the inner IUnknown with one reference.
  static HRESULT Create(IUnknown* outer, IUnknown** inner);

  // IUnknown (delegating)
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  // IComponentMethods
  STDMETHODIMP SetProxyCredentials(VARIANT vUserId, VARIANT vPassword) override;
  STDMETHODIMP SendConnect(VARIANT* pRetVal) override;
  STDMETHODIMP ReceiveData(VARIANT* pData) override;
  STDMETHODIMP ConnectToServer(VARIANT* pRetVal) override;
  STDMETHODIMP SetServerDetails(VARIANT vIpAddr, VARIANT vInteractivePort, VARIANT vBcastPort,
                                VARIANT vIPAddrFormatFlag, VARIANT* pRetVal) override;
  STDMETHODIMP setKeepAliveTimerDetail(VARIANT vKeepAliveInterval) override;
  STDMETHODIMP setTimerDetails(VARIANT vSocketReconnTime, VARIANT vSocketReconnCount) override;
  STDMETHODIMP setEncryption(VARIANT vbEncryption) override;
  STDMETHODIMP setCompression(VARIANT vbCompression) override;
  STDMETHODIMP setMultiOC(VARIANT vbMultiOC) override;
  STDMETHODIMP get_handleConnect(IDispatch** pVal) override;
  STDMETHODIMP putref_handleConnect(IDispatch* newVal) override;
  STDMETHODIMP get_handleConnectionFailure(IDispatch** pVal) override;
  STDMETHODIMP putref_handleConnectionFailure(IDispatch* newVal) override;
  STDMETHODIMP get_handleMaximumReConnection(IDispatch** pVal) override;
  STDMETHODIMP putref_handleMaximumReConnection(IDispatch* newVal) override;
  STDMETHODIMP get_handleDisConnect(IDispatch** pVal) override;
  STDMETHODIMP putref_handleDisConnect(IDispatch* newVal) override;
  STDMETHODIMP setOCDetails(VARIANT vInteractiveIp, VARIANT vInteractivePort, VARIANT vBcastIp,
                            VARIANT vBcastPort, VARIANT vPolicyIp, VARIANT vPolicyPort) override;
  STDMETHODIMP get_handleData(IDispatch** pVal) override;
  STDMETHODIMP putref_handleData(IDispatch* newVal) override;
  STDMETHODIMP get_handleAuthentication(IDispatch** pVal) override;
  STDMETHODIMP putref_handleAuthentication(IDispatch* newVal) override;
  STDMETHODIMP startKeepAlive(VARIANT sRequest, VARIANT* pRetVal) override;
  STDMETHODIMP sendRequest(VARIANT vRequest, VARIANT* pRetVal) override;
  STDMETHODIMP sendBCRequest(VARIANT vRequest, VARIANT* pRetVal) override;
  STDMETHODIMP get_handleBCDisConnect(IDispatch** pVal) override;
  STDMETHODIMP putref_handleBCDisConnect(IDispatch* newVal) override;
  STDMETHODIMP getPacketCount(VARIANT* pPacketCount) override;
  STDMETHODIMP getRequestCount(VARIANT* pReqCount) override;
  STDMETHODIMP setProxyServerDetails(VARIANT vProxyIp, VARIANT vProxyPort, VARIANT vProxyUid,
                                     VARIANT vProxyPwd, VARIANT* pRetVal) override;

  // IComponentMethods2
  STDMETHODIMP setTransportSecurity(VARIANT vConnection, VARIANT vMode, VARIANT* pRetVal) override;
  STDMETHODIMP setServerPins(VARIANT vConnection, VARIANT vPins, VARIANT* pRetVal) override;
  STDMETHODIMP getTransportSecurity(VARIANT vConnection, VARIANT* pRetVal) override;
  STDMETHODIMP setConflation(VARIANT vTag, VARIANT vMinimumIntervalMs, VARIANT* pRetVal) override;
  STDMETHODIMP getConflatedCount(VARIANT* pRetVal) override;

  // IObjectSafety (object_safety.cpp)
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

  // IObjectWithSite (object_with_site.cpp)
  STDMETHODIMP SetSite(IUnknown* site) override;
  STDMETHODIMP GetSite(REFIID riid, void** ppv) override;

 private:
  // The object's own IUnknown: reference count and QueryInterface.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(ComponentObject* object) : m_object(object) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    ComponentObject* m_object;
  };

  // A member call under way on the owner thread (each one opens with it);
  // a refused object's member is traced and fails. The last one to end
  // destroys the core of a refused object.
  class CallScope {
   public:
    CallScope(ComponentObject* object, const char* member);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    bool Refused() const { return m_object->m_refused; }

   private:
    ComponentObject* m_object;
  };

  explicit ComponentObject(IUnknown* outer);
  ~ComponentObject();
  ComponentObject(const ComponentObject&) = delete;
  ComponentObject& operator=(const ComponentObject&) = delete;

  using Getter = HResult (CComponentMethods::*)(std::shared_ptr<CallbackTarget>*);
  using Setter = HResult (CComponentMethods::*)(std::shared_ptr<CallbackTarget>);
  HRESULT GetCallback(Getter getter, IDispatch** pVal);
  HRESULT PutCallback(Setter setter, IDispatch* newVal);

  // The page may not script the object: refuses from now on, lets go of the
  // callbacks at once and of the core when no call is under way.
  void Refuse();
  // Destroys a refused object's core unless a member or a callback is under
  // way (its code may be on the stack).
  void RetireIfIdle();

  InnerUnknown m_inner;
  IUnknown* m_outer;  // the controlling unknown
  LONG m_ref = 1;
  DWORD m_safetyOptions = 0;   // IObjectSafety's current options
  IUnknown* m_site = nullptr;  // IObjectWithSite's site, referenced
  bool m_refused = false;      // set once, never cleared
  // Member calls and script callbacks under way (owner thread only); the
  // callbacks count themselves through DispatchCallback.
  LONG m_callDepth = 0;
  std::unique_ptr<CComponentMethods> m_core;  // null once a refused object retired it
};

}  // namespace corvane::com
