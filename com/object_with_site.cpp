// IObjectWithSite of ComponentMethods, and the site lock it applies.
//
// A host that embeds the object in a document gives it a site (SetSite); the
// object keeps a reference until SetSite(NULL) or its final release, and
// GetSite answers with the site's interfaces. Whenever it is given a site,
// the object judges the page (site_lock.h):
//
//   - the administrator's list is the value AllowedSites of
//     HKLM\Software\Policies\Corvane\ComponentMethods, REG_SZ with entries
//     separated by ';' or REG_MULTI_SZ (one or more entries per string). Both
//     DLLs read the 64-bit registry view, the one Group Policy and the
//     package write (on 32-bit Windows the only one), so a machine has one
//     list. No value: every page may script the object, as before there was
//     a lock. A value that cannot be read, or that is not a string, allows
//     no page.
//   - the page is the HTML document holding the object, never the top-level
//     browser's location: in a frame that is the top page's, not the frame's.
//     An <object> tag's site is an OLE client site whose container is the
//     document. The site a script engine gives an object the page's script
//     created (new ActiveXObject) is no client site, only a service provider
//     over the script's own site, and the document is its container dispatch
//     (SID_SContainerDispatch). The container comes first: a service may be
//     answered further up, where a frame's object could reach the top page's
//     document, while the client site's container is the frame's own.
//   - a site that shows no document is told apart by the web browser
//     (SID_SWebBrowserApp): a site that offers one belongs to a page whose
//     document could not be found, which is refused while there is a list;
//     a site that offers none is a host without a document (a script host, a
//     program), always allowed, as is an object given no site at all. A
//     document whose URL cannot be read has no origin and is refused.
//
// A refused page is refused for good (ComponentObject::Refuse): it may still
// hold a reference, so neither SetSite(NULL) nor a later, allowed site lifts
// it. The debug trace tells the verdict and the page.
#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>
#include <servprov.h>
#include <shlguid.h>
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "com/component_object.h"
#include "com/site_lock.h"
#include "platform/trace.h"
#include "platform/win32/policy_registry.h"

namespace corvane::com {
namespace {

constexpr wchar_t kPolicyValue[] = L"AllowedSites";

// The administrator's list; nothing when there is none.
std::optional<AllowList> ReadAllowList() {
  const win32::PolicyList read = win32::ReadPolicyList(kPolicyValue);
  if (read.state == win32::PolicyList::State::kAbsent) return std::nullopt;
  if (read.state == win32::PolicyList::State::kUnreadable) {
    DebugTrace(
        "ComponentMethods: the AllowedSites policy cannot be read (error %ld, type %lu): "
        "no page is allowed\n",
        static_cast<long>(read.status), static_cast<unsigned long>(read.type));
    return AllowList();
  }
  AllowList list = AllowList::Parse(read.text);
  for (const std::string& entry : list.Ignored())
    DebugTrace("ComponentMethods: AllowedSites entry \"%.200s\" is ignored (malformed)\n",
               entry.c_str());
  return list;
}

// The page holding the object, as its site shows it.
struct HostingPage {
  enum class Kind {
    kNoBrowser,   // neither a document nor the web browser: a host without a document
    kDocument,    // the document holding the object
    kNoDocument,  // the web browser, but no document holding the object
  };
  Kind kind = Kind::kNoBrowser;
  std::string url;  // the document's URL; empty when it cannot be read
};

// A URL property's text; empty when it cannot be read.
std::string UrlText(HRESULT hr, BSTR url) {
  if (FAILED(hr) || url == nullptr) return std::string();
  std::string text = win32::Utf8(std::wstring_view(url, SysStringLen(url)));
  SysFreeString(url);
  return text;
}

// The HTML document an OLE client site's container is; null for any other
// site or container.
IHTMLDocument2* ContainerDocument(IUnknown* site) {
  IOleClientSite* client = nullptr;
  if (FAILED(site->QueryInterface(IID_IOleClientSite, reinterpret_cast<void**>(&client))))
    return nullptr;
  IOleContainer* container = nullptr;
  HRESULT hr = client->GetContainer(&container);
  client->Release();
  if (FAILED(hr) || container == nullptr) return nullptr;
  IHTMLDocument2* document = nullptr;
  hr = container->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&document));
  container->Release();
  return SUCCEEDED(hr) ? document : nullptr;
}

// The HTML document the site offers as its container dispatch; null when it
// offers none or another kind of object.
IHTMLDocument2* ServiceDocument(IServiceProvider* services) {
  IDispatch* dispatch = nullptr;
  HRESULT hr = services->QueryService(SID_SContainerDispatch, IID_IDispatch,
                                      reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr) || dispatch == nullptr) return nullptr;
  IHTMLDocument2* document = nullptr;
  hr = dispatch->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&document));
  dispatch->Release();
  return SUCCEEDED(hr) ? document : nullptr;
}

// Whether the site offers the web browser, as only a page's site does.
bool OffersBrowser(IServiceProvider* services) {
  IUnknown* browser = nullptr;
  const HRESULT hr =
      services->QueryService(SID_SWebBrowserApp, IID_IUnknown, reinterpret_cast<void**>(&browser));
  if (FAILED(hr) || browser == nullptr) return false;
  browser->Release();
  return true;
}

HostingPage FindHostingPage(IUnknown* site) {
  IServiceProvider* services = nullptr;
  if (FAILED(site->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&services))))
    services = nullptr;
  IHTMLDocument2* document = ContainerDocument(site);
  if (document == nullptr && services != nullptr) document = ServiceDocument(services);
  const bool browser = document == nullptr && services != nullptr && OffersBrowser(services);
  if (services != nullptr) services->Release();
  HostingPage page;
  if (document == nullptr) {
    if (browser) page.kind = HostingPage::Kind::kNoDocument;
    return page;
  }
  BSTR url = nullptr;
  const HRESULT hr = document->get_URL(&url);
  document->Release();
  page.kind = HostingPage::Kind::kDocument;
  page.url = UrlText(hr, url);
  return page;
}

// Judges the page holding the site and traces the verdict.
bool SiteAllowedToScript(IUnknown* site) {
  const std::optional<AllowList> list = ReadAllowList();
  HostingPage page;
  if (list) page = FindHostingPage(site);
  // A browser without a document has no URL: refused as a page without an origin.
  std::optional<std::string> url;
  if (page.kind != HostingPage::Kind::kNoBrowser) url = page.url;
  const SiteVerdict verdict = JudgeSite(list ? &*list : nullptr, url);
  const char* shown = page.url.empty() ? "(a document without a URL)" : page.url.c_str();
  switch (verdict) {
    case SiteVerdict::kNoList:
      DebugTrace("ComponentMethods::SetSite: no AllowedSites policy: every page is allowed\n");
      break;
    case SiteVerdict::kNoDocument:
      DebugTrace("ComponentMethods::SetSite: the host has no document: allowed\n");
      break;
    case SiteVerdict::kListed:
      DebugTrace("ComponentMethods::SetSite: %.300s is an allowed site\n", shown);
      break;
    case SiteVerdict::kNotListed:
      if (page.kind == HostingPage::Kind::kNoDocument)
        DebugTrace(
            "ComponentMethods::SetSite: the browser shows no document holding the object: "
            "the object refuses\n");
      else
        DebugTrace("ComponentMethods::SetSite: %.300s is not an allowed site: the object refuses\n",
                   shown);
      break;
  }
  return SiteAllowed(verdict);
}

}  // namespace

STDMETHODIMP ComponentObject::SetSite(IUnknown* site) {
  DebugTrace("ComponentMethods::SetSite\n");
  if (site != nullptr) site->AddRef();
  if (m_site != nullptr) m_site->Release();
  m_site = site;
  if (site == nullptr || m_refused) return S_OK;
  bool allowed = false;
  try {
    allowed = SiteAllowedToScript(site);
  } catch (...) {
    // Out of memory while judging: refused, as a page that cannot be judged.
  }
  if (!allowed) Refuse();
  return S_OK;
}

STDMETHODIMP ComponentObject::GetSite(REFIID riid, void** ppv) {
  DebugTrace("ComponentMethods::GetSite\n");
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (m_site == nullptr) return E_FAIL;
  return m_site->QueryInterface(riid, ppv);
}

void ComponentObject::Refuse() {
  m_refused = true;
  if (m_core == nullptr) return;
  // A slot may be emptied while its callback runs; the page gets no event
  // from here on, even before the core goes.
  for (Setter setter :
       {&CComponentMethods::putref_handleConnect,
        &CComponentMethods::putref_handleConnectionFailure,
        &CComponentMethods::putref_handleMaximumReConnection,
        &CComponentMethods::putref_handleDisConnect, &CComponentMethods::putref_handleData,
        &CComponentMethods::putref_handleAuthentication,
        &CComponentMethods::putref_handleBCDisConnect})
    (m_core.get()->*setter)(nullptr);
  RetireIfIdle();
}

void ComponentObject::RetireIfIdle() {
  // Its destruction ends the readers and the keep-alive worker and closes
  // both connections; it takes the hidden window along.
  if (m_refused && m_callDepth == 0) m_core.reset();
}

}  // namespace corvane::com
