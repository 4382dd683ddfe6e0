// Helpers of the Windows tests: COM apartment per test, the built DLL loaded
// by path, a scripted-object stand-in with a member "call", and the debug
// trace as a debugger sees it.
#pragma once

#include <gtest/gtest.h>
#include <oaidl.h>
#include <oleauto.h>
#include <unknwn.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace corvane::test {

// A single-threaded apartment for the test's thread.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }
  void TearDown() override { CoUninitialize(); }
};

// Directory of the running test program, with a trailing backslash.
inline std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

// The built corvane.dll: beside the test program or in the build's com/.
inline std::wstring ServerPath() {
  const std::wstring dir = ProgramDirectory();
  for (const wchar_t* candidate : {L"corvane.dll", L"..\\com\\corvane.dll"}) {
    const std::wstring path = dir + candidate;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      wchar_t full[MAX_PATH] = {};
      GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
      return full;
    }
  }
  return std::wstring();
}

// The DLL, loaded once for the whole test program, and its exports.
struct Server {
  HMODULE module = nullptr;
  HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(WINAPI* canUnloadNow)() = nullptr;
  HRESULT(WINAPI* registerServer)() = nullptr;
  HRESULT(WINAPI* unregisterServer)() = nullptr;

  static const Server& Get() {
    static const Server server = Load();
    return server;
  }

 private:
  template <typename F>
  static void Bind(HMODULE module, const char* name, F& f) {
    f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  static Server Load() {
    Server s;
    s.module = LoadLibraryW(ServerPath().c_str());
    if (s.module == nullptr) return s;
    Bind(s.module, "DllGetClassObject", s.getClassObject);
    Bind(s.module, "DllCanUnloadNow", s.canUnloadNow);
    Bind(s.module, "DllRegisterServer", s.registerServer);
    Bind(s.module, "DllUnregisterServer", s.unregisterServer);
    return s;
  }
};

// One recorded call of the stand-in's "call" member.
struct RecordedCall {
  DISPID id = 0;
  LCID lcid = 0;
  WORD flags = 0;
  UINT argCount = 0;
  UINT namedCount = 0;
  VARTYPE textType = VT_EMPTY;
  std::wstring text;
  VARTYPE thisType = VT_EMPTY;
  IUnknown* thisIdentity = nullptr;  // not referenced: compared only
};

// What a script engine hands over for a function: an IDispatch whose member
// "call" (dispid 7 here) records every invocation. It can be made to lack
// "call" or to fail every call.
class FakeFunction final : public IDispatch {
 public:
  static constexpr DISPID kCallId = 7;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override {
    ++lookups;
    lookupRiidNull = IsEqualIID(riid, IID_NULL);
    lookupLcid = lcid;
    lookupCount = count;
    lookupName = count > 0 ? names[0] : L"";
    if (!hasCall || count != 1 || lookupName != L"call") {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    ids[0] = kCallId;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    RecordedCall call;
    call.id = id;
    call.lcid = lcid;
    call.flags = flags;
    call.argCount = params->cArgs;
    call.namedCount = params->cNamedArgs;
    if (params->cArgs >= 1) {
      call.textType = V_VT(&params->rgvarg[0]);
      if (call.textType == VT_BSTR)
        call.text.assign(V_BSTR(&params->rgvarg[0]), SysStringLen(V_BSTR(&params->rgvarg[0])));
    }
    if (params->cArgs >= 2) {
      call.thisType = V_VT(&params->rgvarg[1]);
      if (call.thisType == VT_DISPATCH && V_DISPATCH(&params->rgvarg[1]) != nullptr) {
        IUnknown* identity = nullptr;
        V_DISPATCH(&params->rgvarg[1])
            ->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
        call.thisIdentity = identity;
        if (identity != nullptr) identity->Release();
      }
    }
    calls.push_back(call);
    if (onCall) onCall();
    if (result != nullptr) VariantInit(result);
    if (failCalls || id != kCallId) return DISP_E_MEMBERNOTFOUND;
    return S_OK;
  }

  LONG refs = 1;
  bool hasCall = true;
  bool failCalls = false;
  int lookups = 0;
  bool lookupRiidNull = false;
  LCID lookupLcid = 0;
  UINT lookupCount = 0;
  std::wstring lookupName;
  std::vector<RecordedCall> calls;
  std::function<void()> onCall;  // runs inside each call
};

// Debug output as a debugger sees it, collected while the capture lives:
// OutputDebugString raises DBG_PRINTEXCEPTION_C with the text, which a
// vectored handler can read (and dismiss).
class TraceCapture {
 public:
  explicit TraceCapture(std::vector<std::string>& lines) {
    Lines() = &lines;
    m_handler = AddVectoredExceptionHandler(1, Catch);
  }
  ~TraceCapture() {
    RemoveVectoredExceptionHandler(m_handler);
    Lines() = nullptr;
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

 private:
  static std::vector<std::string>*& Lines() {
    static std::vector<std::string>* lines = nullptr;
    return lines;
  }
  static LONG CALLBACK Catch(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
      return EXCEPTION_CONTINUE_SEARCH;
    if (Lines() != nullptr)
      Lines()->push_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  void* m_handler = nullptr;
};

// EnumThreadWindows' callback (a CALLBACK function: on x86 a lambda has the
// wrong calling convention): collects the windows with the component's text.
inline BOOL CALLBACK CollectComponentWindow(HWND hwnd, LPARAM param) {
  char text[64] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  if (std::string(text) == "CComponentMethods")
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

// The windows of this thread with the component's window text.
inline std::vector<HWND> ComponentWindows() {
  std::vector<HWND> found;
  EnumThreadWindows(GetCurrentThreadId(), CollectComponentWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

// Argument VARIANTs; the callee or VariantClear frees the string.
inline VARIANT Str(const wchar_t* text) {
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(text);
  return v;
}

inline VARIANT I4(LONG value) {
  VARIANT v;
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

inline IUnknown* Identity(IUnknown* object) {
  IUnknown* identity = nullptr;
  if (object == nullptr ||
      FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))))
    return nullptr;
  identity->Release();
  return identity;
}

}  // namespace corvane::test
