// The class object of ComponentMethods: one static instance that never goes
// away (its references do not count); LockServer counts as a module lock.
// Aggregation is offered only through IID_IUnknown, as COM requires.
#include <unknwn.h>
#include <windows.h>

#include "com/component_object.h"
#include "com/module.h"

namespace corvane::com {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return CreateComponentObject(outer, riid, ppv);
  }

  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }
};

ClassFactory g_classFactory;

}  // namespace

HRESULT GetComponentClassObject(REFIID riid, void** ppv) {
  return g_classFactory.QueryInterface(riid, ppv);
}

HRESULT CreateComponentObject(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  IUnknown* inner = nullptr;
  HRESULT hr = ComponentObject::Create(outer, &inner);
  if (FAILED(hr)) return hr;
  hr = inner->QueryInterface(riid, ppv);
  inner->Release();
  return hr;
}

}  // namespace corvane::com
