// ComponentMethods: identity, reference counting, IDispatch (calls through the
// member table, names and type information from the type library), and the
// vtable methods over the core.
#include "com/component_object.h"

#include <new>

#include "com/dispatch_callback.h"
#include "com/member_dispatch.h"
#include "com/module.h"
#include "com/variant_conversion.h"
#include "platform/trace.h"

namespace corvane::com {

// ---- Construction and identity ----

ComponentObject::ComponentObject(IUnknown* outer)
    : m_inner(this), m_outer(outer != nullptr ? outer : &m_inner) {
  LockModule();
}

ComponentObject::~ComponentObject() {
  // The core ends its reader threads before its window goes.
  m_core.reset();
  if (m_site != nullptr) m_site->Release();
  UnlockModule();
}

ComponentObject::CallScope::CallScope(ComponentObject* object, const char* member)
    : m_object(object) {
  ++m_object->m_callDepth;
  if (m_object->m_refused)
    DebugTrace("ComponentMethods::%s: refused, the page is not an allowed site\n", member);
}

ComponentObject::CallScope::~CallScope() {
  if (--m_object->m_callDepth == 0) m_object->RetireIfIdle();
}

HRESULT ComponentObject::Create(IUnknown* outer, IUnknown** inner) {
  *inner = nullptr;
  ComponentObject* object = new (std::nothrow) ComponentObject(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = S_OK;
  try {
    object->m_core = std::make_unique<CComponentMethods>();
    hr = object->m_core->FinalConstruct();
    // A window that failed without an error code still means no object.
    if (SUCCEEDED(hr) && object->m_core->EventWaitHandle() == -1) hr = E_FAIL;
  } catch (...) {
    hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  *inner = &object->m_inner;
  return S_OK;
}

STDMETHODIMP ComponentObject::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IComponentMethods2) || IsEqualIID(riid, IID_IComponentMethods) ||
      IsEqualIID(riid, IID_IDispatch)) {
    *ppv = static_cast<IComponentMethods2*>(m_object);
  } else if (IsEqualIID(riid, IID_IObjectSafety)) {
    *ppv = static_cast<IObjectSafety*>(m_object);
  } else if (IsEqualIID(riid, IID_IObjectWithSite)) {
    *ppv = static_cast<IObjectWithSite*>(m_object);
  } else if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = this;
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) ComponentObject::InnerUnknown::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_object->m_ref));
}

STDMETHODIMP_(ULONG) ComponentObject::InnerUnknown::Release() {
  const LONG ref = InterlockedDecrement(&m_object->m_ref);
  if (ref == 0) delete m_object;
  return static_cast<ULONG>(ref);
}

STDMETHODIMP ComponentObject::QueryInterface(REFIID riid, void** ppv) {
  return m_outer->QueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) ComponentObject::AddRef() { return m_outer->AddRef(); }

STDMETHODIMP_(ULONG) ComponentObject::Release() { return m_outer->Release(); }

// ---- IDispatch ----

STDMETHODIMP ComponentObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP ComponentObject::GetTypeInfo(UINT index, LCID /*lcid*/, ITypeInfo** typeInfo) {
  if (typeInfo == nullptr) return E_POINTER;
  *typeInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return GetComponentTypeInfo(typeInfo);
}

STDMETHODIMP ComponentObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID /*lcid*/,
                                            DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* typeInfo = nullptr;
  HRESULT hr = GetComponentTypeInfo(&typeInfo);
  if (FAILED(hr)) return hr;
  hr = typeInfo->GetIDsOfNames(names, count, ids);
  typeInfo->Release();
  return hr;
}

STDMETHODIMP ComponentObject::Invoke(DISPID id, REFIID riid, LCID /*lcid*/, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) {
  const CallScope call(this, "Invoke");
  if (call.Refused()) return E_ACCESSDENIED;
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  try {
    return InvokeMember({*m_core, m_outer, &m_callDepth}, id, flags, params, result, exception,
                        argError);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---- Callback properties ----

HRESULT ComponentObject::GetCallback(Getter getter, IDispatch** pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  try {
    std::shared_ptr<CallbackTarget> target;
    const HRESULT hr = (m_core.get()->*getter)(&target);
    *pVal = TargetDispatch(target);
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ComponentObject::PutCallback(Setter setter, IDispatch* newVal) {
  try {
    std::shared_ptr<CallbackTarget> target;
    if (newVal != nullptr)
      target = std::make_shared<DispatchCallback>(newVal, m_outer, &m_callDepth);
    return (m_core.get()->*setter)(std::move(target));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::get_handleConnect(IDispatch** pVal) {
  const CallScope call(this, "get_handleConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleConnect, pVal);
}
STDMETHODIMP ComponentObject::putref_handleConnect(IDispatch* newVal) {
  const CallScope call(this, "putref_handleConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleConnect, newVal);
}
STDMETHODIMP ComponentObject::get_handleConnectionFailure(IDispatch** pVal) {
  const CallScope call(this, "get_handleConnectionFailure");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleConnectionFailure, pVal);
}
STDMETHODIMP ComponentObject::putref_handleConnectionFailure(IDispatch* newVal) {
  const CallScope call(this, "putref_handleConnectionFailure");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleConnectionFailure, newVal);
}
STDMETHODIMP ComponentObject::get_handleMaximumReConnection(IDispatch** pVal) {
  const CallScope call(this, "get_handleMaximumReConnection");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleMaximumReConnection, pVal);
}
STDMETHODIMP ComponentObject::putref_handleMaximumReConnection(IDispatch* newVal) {
  const CallScope call(this, "putref_handleMaximumReConnection");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleMaximumReConnection, newVal);
}
STDMETHODIMP ComponentObject::get_handleDisConnect(IDispatch** pVal) {
  const CallScope call(this, "get_handleDisConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleDisConnect, pVal);
}
STDMETHODIMP ComponentObject::putref_handleDisConnect(IDispatch* newVal) {
  const CallScope call(this, "putref_handleDisConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleDisConnect, newVal);
}
STDMETHODIMP ComponentObject::get_handleData(IDispatch** pVal) {
  const CallScope call(this, "get_handleData");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleData, pVal);
}
STDMETHODIMP ComponentObject::putref_handleData(IDispatch* newVal) {
  const CallScope call(this, "putref_handleData");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleData, newVal);
}
STDMETHODIMP ComponentObject::get_handleAuthentication(IDispatch** pVal) {
  const CallScope call(this, "get_handleAuthentication");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleAuthentication, pVal);
}
STDMETHODIMP ComponentObject::putref_handleAuthentication(IDispatch* newVal) {
  const CallScope call(this, "putref_handleAuthentication");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleAuthentication, newVal);
}
STDMETHODIMP ComponentObject::get_handleBCDisConnect(IDispatch** pVal) {
  const CallScope call(this, "get_handleBCDisConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  return GetCallback(&CComponentMethods::get_handleBCDisConnect, pVal);
}
STDMETHODIMP ComponentObject::putref_handleBCDisConnect(IDispatch* newVal) {
  const CallScope call(this, "putref_handleBCDisConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  return PutCallback(&CComponentMethods::putref_handleBCDisConnect, newVal);
}

// ---- Methods ----
// Arguments are converted first (only that can throw, std::bad_alloc); the
// core catches everything inside its methods.

STDMETHODIMP ComponentObject::SetProxyCredentials(VARIANT vUserId, VARIANT vPassword) {
  const CallScope call(this, "SetProxyCredentials");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    Variant user = FromVariant(vUserId), password = FromVariant(vPassword);
    const HRESULT hr = m_core->SetProxyCredentials(user, password);
    user.Wipe();
    password.Wipe();
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::SendConnect(VARIANT* pRetVal) {
  const CallScope call(this, "SendConnect");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->SendConnect(&result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::ReceiveData(VARIANT* pData) {
  const CallScope call(this, "ReceiveData");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pData == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->ReceiveData(&result);
    const HRESULT written = WriteResult(result, pData);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::ConnectToServer(VARIANT* pRetVal) {
  const CallScope call(this, "ConnectToServer");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->ConnectToServer(&result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::SetServerDetails(VARIANT vIpAddr, VARIANT vInteractivePort,
                                               VARIANT vBcastPort, VARIANT vIPAddrFormatFlag,
                                               VARIANT* pRetVal) {
  const CallScope call(this, "SetServerDetails");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr =
        m_core->SetServerDetails(FromVariant(vIpAddr), FromVariant(vInteractivePort),
                                 FromVariant(vBcastPort), FromVariant(vIPAddrFormatFlag), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setKeepAliveTimerDetail(VARIANT vKeepAliveInterval) {
  const CallScope call(this, "setKeepAliveTimerDetail");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    return m_core->setKeepAliveTimerDetail(FromVariant(vKeepAliveInterval));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setTimerDetails(VARIANT vSocketReconnTime,
                                              VARIANT vSocketReconnCount) {
  const CallScope call(this, "setTimerDetails");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    return m_core->setTimerDetails(FromVariant(vSocketReconnTime), FromVariant(vSocketReconnCount));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setEncryption(VARIANT vbEncryption) {
  const CallScope call(this, "setEncryption");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    return m_core->setEncryption(FromVariant(vbEncryption));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setCompression(VARIANT vbCompression) {
  const CallScope call(this, "setCompression");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    return m_core->setCompression(FromVariant(vbCompression));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setMultiOC(VARIANT vbMultiOC) {
  const CallScope call(this, "setMultiOC");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    return m_core->setMultiOC(FromVariant(vbMultiOC));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setOCDetails(VARIANT vInteractiveIp, VARIANT vInteractivePort,
                                           VARIANT vBcastIp, VARIANT vBcastPort, VARIANT vPolicyIp,
                                           VARIANT vPolicyPort) {
  const CallScope call(this, "setOCDetails");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    return m_core->setOCDetails(FromVariant(vInteractiveIp), FromVariant(vInteractivePort),
                                FromVariant(vBcastIp), FromVariant(vBcastPort),
                                FromVariant(vPolicyIp), FromVariant(vPolicyPort));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::startKeepAlive(VARIANT sRequest, VARIANT* /*pRetVal*/) {
  const CallScope call(this, "startKeepAlive");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    // pRetVal is never written: the outcome is the HRESULT alone.
    Variant unused;
    return m_core->startKeepAlive(FromVariant(sRequest), &unused);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::sendRequest(VARIANT vRequest, VARIANT* pRetVal) {
  const CallScope call(this, "sendRequest");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->sendRequest(FromVariant(vRequest), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::sendBCRequest(VARIANT vRequest, VARIANT* pRetVal) {
  const CallScope call(this, "sendBCRequest");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    // With one connection the core keeps the value it is given (typed VT_INT):
    // it is given the caller's, not an empty one.
    Variant result = FromVariant(*pRetVal);
    const HRESULT hr = m_core->sendBCRequest(FromVariant(vRequest), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::getPacketCount(VARIANT* pPacketCount) {
  const CallScope call(this, "getPacketCount");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pPacketCount == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->getPacketCount(&result);
    const HRESULT written = WriteResult(result, pPacketCount);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::getRequestCount(VARIANT* pReqCount) {
  const CallScope call(this, "getRequestCount");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pReqCount == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->getRequestCount(&result);
    const HRESULT written = WriteResult(result, pReqCount);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setProxyServerDetails(VARIANT vProxyIp, VARIANT vProxyPort,
                                                    VARIANT vProxyUid, VARIANT vProxyPwd,
                                                    VARIANT* /*pRetVal*/) {
  const CallScope call(this, "setProxyServerDetails");
  if (call.Refused()) return E_ACCESSDENIED;
  try {
    // pRetVal is never written.
    Variant unused;
    Variant user = FromVariant(vProxyUid), password = FromVariant(vProxyPwd);
    const HRESULT hr = m_core->setProxyServerDetails(FromVariant(vProxyIp), FromVariant(vProxyPort),
                                                     user, password, &unused);
    user.Wipe();
    password.Wipe();
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---- IComponentMethods2 ----

STDMETHODIMP ComponentObject::setTransportSecurity(VARIANT vConnection, VARIANT vMode,
                                                   VARIANT* pRetVal) {
  const CallScope call(this, "setTransportSecurity");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr =
        m_core->setTransportSecurity(FromVariant(vConnection), FromVariant(vMode), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setServerPins(VARIANT vConnection, VARIANT vPins, VARIANT* pRetVal) {
  const CallScope call(this, "setServerPins");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->setServerPins(FromVariant(vConnection), FromVariant(vPins), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::getTransportSecurity(VARIANT vConnection, VARIANT* pRetVal) {
  const CallScope call(this, "getTransportSecurity");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->getTransportSecurity(FromVariant(vConnection), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::setConflation(VARIANT vTag, VARIANT vMinimumIntervalMs,
                                            VARIANT* pRetVal) {
  const CallScope call(this, "setConflation");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr =
        m_core->setConflation(FromVariant(vTag), FromVariant(vMinimumIntervalMs), &result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP ComponentObject::getConflatedCount(VARIANT* pRetVal) {
  const CallScope call(this, "getConflatedCount");
  if (call.Refused()) return E_ACCESSDENIED;
  if (pRetVal == nullptr) return E_POINTER;
  try {
    Variant result;
    const HRESULT hr = m_core->getConflatedCount(&result);
    const HRESULT written = WriteResult(result, pRetVal);
    return FAILED(written) ? written : hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace corvane::com
