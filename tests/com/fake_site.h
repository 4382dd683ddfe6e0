// A page as a browser hosts the component, for the site lock's tests: a site
// whose container is an HTML document and whose services include the web
// browser, each reporting a chosen URL. It is either an <object> tag's site
// (an OLE client site) or a page's script site, which a script engine is
// given and over which it makes the site of each object the script creates.
// Only what the component and the engine use is implemented (QueryInterface,
// reference counts, GetContainer, QueryService, get_URL, get_LocationURL);
// everything else answers E_NOTIMPL. The objects live on the test's stack:
// their counts are only watched, never free them.
#pragma once

// clang-format off
#include <windows.h>
#include <activscp.h>
// clang-format on
#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>
#include <oleauto.h>
#include <servprov.h>
#include <shlguid.h>

#include <string>

namespace corvane::test {

// A method the component never calls.
#define NOT_USED(method, ...) \
  STDMETHODIMP method(__VA_ARGS__) override { return E_NOTIMPL; }

// Counts references without ever deleting the object.
class Counted {
 public:
  LONG refs = 1;

 protected:
  ULONG Up() { return static_cast<ULONG>(++refs); }
  ULONG Down() { return static_cast<ULONG>(--refs); }
};

// The URL property of the fakes: a copy of the chosen text, or the chosen
// failure.
inline HRESULT ReportUrl(const std::wstring& url, HRESULT result, BSTR* out) {
  *out = nullptr;
  if (FAILED(result)) return result;
  *out = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The document holding the object, which is also its container.
class FakeDocument final : public Counted, public IOleContainer, public IHTMLDocument2 {
 public:
  explicit FakeDocument(std::wstring url, HRESULT result = S_OK)
      : m_url(std::move(url)), m_result(result) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IParseDisplayName) ||
        IsEqualIID(riid, IID_IOleContainer)) {
      *ppv = static_cast<IOleContainer*>(this);
    } else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IHTMLDocument) ||
               IsEqualIID(riid, IID_IHTMLDocument2)) {
      *ppv = static_cast<IHTMLDocument2*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    Up();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return Up(); }
  STDMETHODIMP_(ULONG) Release() override { return Down(); }
  STDMETHODIMP get_URL(BSTR* p) override { return ReportUrl(m_url, m_result, p); }

  NOT_USED(ParseDisplayName, IBindCtx*, LPOLESTR, ULONG*, IMoniker**)
  NOT_USED(EnumObjects, DWORD, IEnumUnknown**)
  NOT_USED(LockContainer, BOOL)
  NOT_USED(GetTypeInfoCount, UINT*)
  NOT_USED(GetTypeInfo, UINT, LCID, ITypeInfo**)
  NOT_USED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
  NOT_USED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
  NOT_USED(get_Script, IDispatch**)
  NOT_USED(get_all, IHTMLElementCollection**)
  NOT_USED(get_body, IHTMLElement**)
  NOT_USED(get_activeElement, IHTMLElement**)
  NOT_USED(get_images, IHTMLElementCollection**)
  NOT_USED(get_applets, IHTMLElementCollection**)
  NOT_USED(get_links, IHTMLElementCollection**)
  NOT_USED(get_forms, IHTMLElementCollection**)
  NOT_USED(get_anchors, IHTMLElementCollection**)
  NOT_USED(put_title, BSTR)
  NOT_USED(get_title, BSTR*)
  NOT_USED(get_scripts, IHTMLElementCollection**)
  NOT_USED(put_designMode, BSTR)
  NOT_USED(get_designMode, BSTR*)
  NOT_USED(get_selection, IHTMLSelectionObject**)
  NOT_USED(get_readyState, BSTR*)
  NOT_USED(get_frames, IHTMLFramesCollection2**)
  NOT_USED(get_embeds, IHTMLElementCollection**)
  NOT_USED(get_plugins, IHTMLElementCollection**)
  NOT_USED(put_alinkColor, VARIANT)
  NOT_USED(get_alinkColor, VARIANT*)
  NOT_USED(put_bgColor, VARIANT)
  NOT_USED(get_bgColor, VARIANT*)
  NOT_USED(put_fgColor, VARIANT)
  NOT_USED(get_fgColor, VARIANT*)
  NOT_USED(put_linkColor, VARIANT)
  NOT_USED(get_linkColor, VARIANT*)
  NOT_USED(put_vlinkColor, VARIANT)
  NOT_USED(get_vlinkColor, VARIANT*)
  NOT_USED(get_referrer, BSTR*)
  NOT_USED(get_location, IHTMLLocation**)
  NOT_USED(get_lastModified, BSTR*)
  NOT_USED(put_URL, BSTR)
  NOT_USED(put_domain, BSTR)
  NOT_USED(get_domain, BSTR*)
  NOT_USED(put_cookie, BSTR)
  NOT_USED(get_cookie, BSTR*)
  NOT_USED(put_expando, VARIANT_BOOL)
  NOT_USED(get_expando, VARIANT_BOOL*)
  NOT_USED(put_charset, BSTR)
  NOT_USED(get_charset, BSTR*)
  NOT_USED(put_defaultCharset, BSTR)
  NOT_USED(get_defaultCharset, BSTR*)
  NOT_USED(get_mimeType, BSTR*)
  NOT_USED(get_fileSize, BSTR*)
  NOT_USED(get_fileCreatedDate, BSTR*)
  NOT_USED(get_fileModifiedDate, BSTR*)
  NOT_USED(get_fileUpdatedDate, BSTR*)
  NOT_USED(get_security, BSTR*)
  NOT_USED(get_protocol, BSTR*)
  NOT_USED(get_nameProp, BSTR*)
  NOT_USED(write, SAFEARRAY*)
  NOT_USED(writeln, SAFEARRAY*)
  NOT_USED(open, BSTR, VARIANT, VARIANT, VARIANT, IDispatch**)
  NOT_USED(close)
  NOT_USED(clear)
  NOT_USED(queryCommandSupported, BSTR, VARIANT_BOOL*)
  NOT_USED(queryCommandEnabled, BSTR, VARIANT_BOOL*)
  NOT_USED(queryCommandState, BSTR, VARIANT_BOOL*)
  NOT_USED(queryCommandIndeterm, BSTR, VARIANT_BOOL*)
  NOT_USED(queryCommandText, BSTR, BSTR*)
  NOT_USED(queryCommandValue, BSTR, VARIANT*)
  NOT_USED(execCommand, BSTR, VARIANT_BOOL, VARIANT, VARIANT_BOOL*)
  NOT_USED(execCommandShowHelp, BSTR, VARIANT_BOOL*)
  NOT_USED(createElement, BSTR, IHTMLElement**)
  NOT_USED(put_onhelp, VARIANT)
  NOT_USED(get_onhelp, VARIANT*)
  NOT_USED(put_onclick, VARIANT)
  NOT_USED(get_onclick, VARIANT*)
  NOT_USED(put_ondblclick, VARIANT)
  NOT_USED(get_ondblclick, VARIANT*)
  NOT_USED(put_onkeyup, VARIANT)
  NOT_USED(get_onkeyup, VARIANT*)
  NOT_USED(put_onkeydown, VARIANT)
  NOT_USED(get_onkeydown, VARIANT*)
  NOT_USED(put_onkeypress, VARIANT)
  NOT_USED(get_onkeypress, VARIANT*)
  NOT_USED(put_onmouseup, VARIANT)
  NOT_USED(get_onmouseup, VARIANT*)
  NOT_USED(put_onmousedown, VARIANT)
  NOT_USED(get_onmousedown, VARIANT*)
  NOT_USED(put_onmousemove, VARIANT)
  NOT_USED(get_onmousemove, VARIANT*)
  NOT_USED(put_onmouseout, VARIANT)
  NOT_USED(get_onmouseout, VARIANT*)
  NOT_USED(put_onmouseover, VARIANT)
  NOT_USED(get_onmouseover, VARIANT*)
  NOT_USED(put_onreadystatechange, VARIANT)
  NOT_USED(get_onreadystatechange, VARIANT*)
  NOT_USED(put_onafterupdate, VARIANT)
  NOT_USED(get_onafterupdate, VARIANT*)
  NOT_USED(put_onrowexit, VARIANT)
  NOT_USED(get_onrowexit, VARIANT*)
  NOT_USED(put_onrowenter, VARIANT)
  NOT_USED(get_onrowenter, VARIANT*)
  NOT_USED(put_ondragstart, VARIANT)
  NOT_USED(get_ondragstart, VARIANT*)
  NOT_USED(put_onselectstart, VARIANT)
  NOT_USED(get_onselectstart, VARIANT*)
  NOT_USED(elementFromPoint, LONG, LONG, IHTMLElement**)
  NOT_USED(get_parentWindow, IHTMLWindow2**)
  NOT_USED(get_styleSheets, IHTMLStyleSheetsCollection**)
  NOT_USED(put_onbeforeupdate, VARIANT)
  NOT_USED(get_onbeforeupdate, VARIANT*)
  NOT_USED(put_onerrorupdate, VARIANT)
  NOT_USED(get_onerrorupdate, VARIANT*)
  NOT_USED(toString, BSTR*)
  NOT_USED(createStyleSheet, BSTR, LONG, IHTMLStyleSheet**)

 private:
  std::wstring m_url;
  HRESULT m_result;
};

// The web browser showing the page (the top-level one, in a frame).
class FakeBrowser final : public Counted, public IWebBrowser2 {
 public:
  explicit FakeBrowser(std::wstring url) : m_url(std::move(url)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IWebBrowser) || IsEqualIID(riid, IID_IWebBrowserApp) ||
        IsEqualIID(riid, IID_IWebBrowser2)) {
      *ppv = static_cast<IWebBrowser2*>(this);
      Up();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return Up(); }
  STDMETHODIMP_(ULONG) Release() override { return Down(); }
  STDMETHODIMP get_LocationURL(BSTR* p) override { return ReportUrl(m_url, S_OK, p); }

  NOT_USED(GetTypeInfoCount, UINT*)
  NOT_USED(GetTypeInfo, UINT, LCID, ITypeInfo**)
  NOT_USED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
  NOT_USED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
  NOT_USED(GoBack)
  NOT_USED(GoForward)
  NOT_USED(GoHome)
  NOT_USED(GoSearch)
  NOT_USED(Navigate, BSTR, VARIANT*, VARIANT*, VARIANT*, VARIANT*)
  NOT_USED(Refresh)
  NOT_USED(Refresh2, VARIANT*)
  NOT_USED(Stop)
  NOT_USED(get_Application, IDispatch**)
  NOT_USED(get_Parent, IDispatch**)
  NOT_USED(get_Container, IDispatch**)
  NOT_USED(get_Document, IDispatch**)
  NOT_USED(get_TopLevelContainer, VARIANT_BOOL*)
  NOT_USED(get_Type, BSTR*)
  NOT_USED(get_Left, LONG*)
  NOT_USED(put_Left, LONG)
  NOT_USED(get_Top, LONG*)
  NOT_USED(put_Top, LONG)
  NOT_USED(get_Width, LONG*)
  NOT_USED(put_Width, LONG)
  NOT_USED(get_Height, LONG*)
  NOT_USED(put_Height, LONG)
  NOT_USED(get_LocationName, BSTR*)
  NOT_USED(get_Busy, VARIANT_BOOL*)
  NOT_USED(Quit)
  NOT_USED(ClientToWindow, int*, int*)
  NOT_USED(PutProperty, BSTR, VARIANT)
  NOT_USED(GetProperty, BSTR, VARIANT*)
  NOT_USED(get_Name, BSTR*)
  NOT_USED(get_HWND, SHANDLE_PTR*)
  NOT_USED(get_FullName, BSTR*)
  NOT_USED(get_Path, BSTR*)
  NOT_USED(get_Visible, VARIANT_BOOL*)
  NOT_USED(put_Visible, VARIANT_BOOL)
  NOT_USED(get_StatusBar, VARIANT_BOOL*)
  NOT_USED(put_StatusBar, VARIANT_BOOL)
  NOT_USED(get_StatusText, BSTR*)
  NOT_USED(put_StatusText, BSTR)
  NOT_USED(get_ToolBar, int*)
  NOT_USED(put_ToolBar, int)
  NOT_USED(get_MenuBar, VARIANT_BOOL*)
  NOT_USED(put_MenuBar, VARIANT_BOOL)
  NOT_USED(get_FullScreen, VARIANT_BOOL*)
  NOT_USED(put_FullScreen, VARIANT_BOOL)
  NOT_USED(Navigate2, VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*)
  NOT_USED(QueryStatusWB, OLECMDID, OLECMDF*)
  NOT_USED(ExecWB, OLECMDID, OLECMDEXECOPT, VARIANT*, VARIANT*)
  NOT_USED(ShowBrowserBar, VARIANT*, VARIANT*, VARIANT*)
  NOT_USED(get_ReadyState, READYSTATE*)
  NOT_USED(get_Offline, VARIANT_BOOL*)
  NOT_USED(put_Offline, VARIANT_BOOL)
  NOT_USED(get_Silent, VARIANT_BOOL*)
  NOT_USED(put_Silent, VARIANT_BOOL)
  NOT_USED(get_RegisterAsBrowser, VARIANT_BOOL*)
  NOT_USED(put_RegisterAsBrowser, VARIANT_BOOL)
  NOT_USED(get_RegisterAsDropTarget, VARIANT_BOOL*)
  NOT_USED(put_RegisterAsDropTarget, VARIANT_BOOL)
  NOT_USED(get_TheaterMode, VARIANT_BOOL*)
  NOT_USED(put_TheaterMode, VARIANT_BOOL)
  NOT_USED(get_AddressBar, VARIANT_BOOL*)
  NOT_USED(put_AddressBar, VARIANT_BOOL)
  NOT_USED(get_Resizable, VARIANT_BOOL*)
  NOT_USED(put_Resizable, VARIANT_BOOL)

 private:
  std::wstring m_url;
};

// How the page sites the object.
enum class Siting {
  kObjectTag,  // an OLE client site in the document
  kScript,     // the page's script site: the document is its container dispatch
};

// The object's site, or the script engine's: the document, if there is one,
// and the browser among the services, if there is one.
class FakeSite final : public Counted,
                       public IOleClientSite,
                       public IServiceProvider,
                       public IActiveScriptSite {
 public:
  FakeSite(FakeDocument* document, FakeBrowser* browser, Siting siting = Siting::kObjectTag)
      : m_document(document), m_browser(browser), m_siting(siting) {}

  // No IActiveScriptSite: the engine is handed that interface and asks the
  // site only for its services.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) ||
        (m_siting == Siting::kObjectTag && IsEqualIID(riid, IID_IOleClientSite))) {
      *ppv = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(riid, IID_IServiceProvider)) {
      *ppv = static_cast<IServiceProvider*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    Up();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return Up(); }
  STDMETHODIMP_(ULONG) Release() override { return Down(); }

  STDMETHODIMP GetContainer(IOleContainer** container) override {
    *container = m_document;
    if (m_document == nullptr) return E_NOINTERFACE;
    m_document->AddRef();
    return S_OK;
  }
  STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualGUID(service, SID_SWebBrowserApp) && m_browser != nullptr)
      return m_browser->QueryInterface(riid, ppv);
    if (IsEqualGUID(service, SID_SContainerDispatch) && m_siting == Siting::kScript &&
        m_document != nullptr)
      return m_document->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }

  NOT_USED(SaveObject)
  NOT_USED(GetMoniker, DWORD, DWORD, IMoniker**)
  NOT_USED(ShowObject)
  NOT_USED(OnShowWindow, BOOL)
  NOT_USED(RequestNewObjectLayout)
  // The engine's calls: the page has no named items and ignores the rest.
  NOT_USED(GetLCID, LCID*)
  NOT_USED(GetItemInfo, LPCOLESTR, DWORD, IUnknown**, ITypeInfo**)
  NOT_USED(GetDocVersionString, BSTR*)
  NOT_USED(OnScriptTerminate, const VARIANT*, const EXCEPINFO*)
  NOT_USED(OnStateChange, SCRIPTSTATE)
  NOT_USED(OnScriptError, IActiveScriptError*)
  NOT_USED(OnEnterScript)
  NOT_USED(OnLeaveScript)

 private:
  FakeDocument* m_document;
  FakeBrowser* m_browser;
  Siting m_siting;
};

#undef NOT_USED

}  // namespace corvane::test
