// The built corvane.dll in a page: the site it is given, and the site lock.
// Each case writes the administrator's list into this prefix's registry (the
// 64-bit view, which both DLLs read), gives the object a fake page and looks
// at what the page can do: make the object safe, call members through the
// vtable and IDispatch, and connect to a loopback listener.
#include <objsafe.h>
#include <ocidl.h>
#include <winsock2.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "com/corvane.h"
#include "tests/com/com_test_util.h"
#include "tests/com/fake_site.h"

namespace corvane::test {
namespace {

using namespace std::string_view_literals;

constexpr wchar_t kPolicyParent[] = L"Software\\Policies\\Corvane";
constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Corvane\\ComponentMethods";

struct Policy {
  DWORD type;
  std::wstring_view data;  // REG_SZ without its terminator, REG_MULTI_SZ with all of its
};

const Policy kList = {REG_SZ, L"https://trade.broker.example;*.broker.example"};

void RemovePolicy() {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, KEY_WOW64_64KEY, 0);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPolicyParent, KEY_WOW64_64KEY, 0);
}

void WritePolicy(const Policy& policy) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD number = 1;
  const std::wstring text(policy.data);  // with its terminator
  const BYTE* bytes = policy.type == REG_DWORD ? reinterpret_cast<const BYTE*>(&number)
                                               : reinterpret_cast<const BYTE*>(text.c_str());
  DWORD size = sizeof number;
  if (policy.type == REG_SZ) size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  if (policy.type == REG_MULTI_SZ) size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  EXPECT_EQ(RegSetValueExW(key, L"AllowedSites", 0, policy.type, bytes, size), ERROR_SUCCESS);
  RegCloseKey(key);
}

// A loopback port that takes connections and never blocks the test.
class Listener {
 public:
  Listener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_socket, 4);
    int length = sizeof address;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    u_long nonBlocking = 1;
    ioctlsocket(m_socket, FIONBIO, &nonBlocking);
  }
  ~Listener() {
    if (m_accepted != INVALID_SOCKET) closesocket(m_accepted);
    closesocket(m_socket);
    WSACleanup();
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int Port() const { return m_port; }

  // Takes the connection a call made. A connect returns once the handshake
  // is done, so a connection made inside a call is waiting when it returns.
  bool Accept() {
    m_accepted = accept(m_socket, nullptr, nullptr);
    if (m_accepted == INVALID_SOCKET) return false;
    u_long blocking = 0;
    ioctlsocket(m_accepted, FIONBIO, &blocking);
    return true;
  }

  // Whether the peer closed the accepted connection (a read returns 0); the
  // read gives up after a while only so that a fault cannot hang the test.
  bool PeerClosed() {
    DWORD timeout = 10000;
    setsockopt(m_accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    char byte = 0;
    return recv(m_accepted, &byte, 1, 0) == 0;
  }

 private:
  SOCKET m_socket = INVALID_SOCKET;
  SOCKET m_accepted = INVALID_SOCKET;
  int m_port = 0;
};

// A loopback port with nothing listening.
int ClosedPort() {
  const Listener listener;
  return listener.Port();
}

// IActiveScript and IActiveScriptParse of this architecture, which not every
// SDK's uuid library defines.
constexpr IID kIID_IActiveScript = {
    0xbb1a2ae1, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
#ifdef _WIN64
constexpr IID kIID_IActiveScriptParse = {
    0xc7ef7658, 0xe1ee, 0x480e, {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
#else
constexpr IID kIID_IActiveScriptParse = {
    0xbb1a2ae2, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
#endif

// A page's script: creates the component and calls it; whether it may.
constexpr wchar_t kCreateAndCall[] =
    LR"((function () {
  var o = new ActiveXObject("Corvane.ComponentMethods");
  try { o.getRequestCount(); return "allowed"; }
  catch (e) { return "refused " + (e.number >>> 0).toString(16); }
})())";

// Evaluates a page's script expression in the system's JScript engine, the
// page's script site being the engine's; its value as text.
std::wstring RunPageScript(FakeSite& page, const wchar_t* expression) {
  CLSID clsid = {};
  IActiveScript* engine = nullptr;
  if (FAILED(CLSIDFromProgID(L"JScript", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIID_IActiveScript,
                              reinterpret_cast<void**>(&engine))))
    return L"no JScript engine";
  std::wstring text = L"the script failed";
  IActiveScriptParse* parse = nullptr;
  VARIANT result;
  VariantInit(&result);
  if (SUCCEEDED(
          engine->QueryInterface(kIID_IActiveScriptParse, reinterpret_cast<void**>(&parse)))) {
    if (SUCCEEDED(engine->SetScriptSite(&page)) && SUCCEEDED(parse->InitNew()) &&
        SUCCEEDED(engine->SetScriptState(SCRIPTSTATE_STARTED)) &&
        SUCCEEDED(parse->ParseScriptText(expression, nullptr, nullptr, nullptr, 0, 0,
                                         SCRIPTTEXT_ISEXPRESSION, &result, nullptr)) &&
        V_VT(&result) == VT_BSTR)
      text.assign(V_BSTR(&result), SysStringLen(V_BSTR(&result)));
    parse->Release();
  }
  VariantClear(&result);
  engine->Close();
  engine->Release();
  return text;
}

class SiteLockTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    RemovePolicy();
    ASSERT_NE(Server::Get().module, nullptr) << "corvane.dll not found beside the tests";
    ASSERT_TRUE(SUCCEEDED(Server::Get().getClassObject(CLSID_ComponentMethods, IID_IClassFactory,
                                                       reinterpret_cast<void**>(&m_factory))));
  }
  void TearDown() override {
    RemovePolicy();
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

  static HRESULT SetSite(IUnknown* object, IUnknown* site) {
    IObjectWithSite* withSite = nullptr;
    HRESULT hr = object->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite));
    if (FAILED(hr)) return hr;
    hr = withSite->SetSite(site);
    withSite->Release();
    return hr;
  }

  // getRequestCount through IDispatch, as a script calls it.
  static HRESULT CountByDispatch(IDispatch* object) {
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    const HRESULT hr = object->Invoke(27, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                      &result, &exception, nullptr);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    VariantClear(&result);
    return hr;
  }

  // Connects the object to the listener, as a page does.
  static HRESULT Connect(IComponentMethods* object, int port) {
    VARIANT ip = Str(L"127.0.0.1"), p = I4(port), flag = I4(1), result;
    VariantInit(&result);
    const HRESULT hr = object->SetServerDetails(ip, p, p, flag, &result);
    VariantClear(&ip);
    return hr;
  }

  IClassFactory* m_factory = nullptr;
};

TEST_F(SiteLockTest, OnlyPagesOnTheListMayScriptTheObject) {
  enum class Page { kDocument, kBrowser, kFrame, kUnreadable, kNeither, kNoSite };
  const Policy multi = {REG_MULTI_SZ,
                        L"https://trade.broker.example\0*.broker.example;https://x.test\0\0"sv};
  const struct {
    const char* what;
    std::optional<Policy> list;
    Page page;
    const wchar_t* url;
    bool allowed;
  } cases[] = {
      {"an allowed origin", kList, Page::kDocument, L"https://trade.broker.example/app/", true},
      // The browser's page is not the document holding the object.
      {"a browser showing no document, on an allowed page", kList, Page::kBrowser,
       L"https://trade.broker.example/app/", false},
      {"a wrong host", kList, Page::kDocument, L"https://evil.test/", false},
      {"a wrong host, from the browser", kList, Page::kBrowser, L"https://evil.test/", false},
      {"a wrong scheme", kList, Page::kDocument, L"http://trade.broker.example/", false},
      {"a pattern match", kList, Page::kDocument, L"https://quotes.eu.broker.example/", true},
      {"a look-alike domain", kList, Page::kDocument, L"https://broker.example.evil.test/", false},
      {"another look-alike", kList, Page::kDocument, L"https://evilbroker.example/", false},
      {"the allowed host as user name", kList, Page::kDocument,
       L"https://trade.broker.example@evil.test/", false},
      // The document's URL, not the top page's: another site's frame.
      {"a frame of another site in an allowed page", kList, Page::kFrame, L"https://evil.test/",
       false},
      {"a document whose URL cannot be read", kList, Page::kUnreadable, L"", false},
      {"no list at all", std::nullopt, Page::kDocument, L"https://evil.test/", true},
      {"no site at all", kList, Page::kNoSite, L"", true},
      {"a site without a document", kList, Page::kNeither, L"", true},
      {"the list as strings", multi, Page::kDocument, L"https://x.test/", true},
      {"the list as strings, a page not on it", multi, Page::kDocument, L"https://evil.test/",
       false},
      {"a list of another type", Policy{REG_DWORD, L""}, Page::kDocument,
       L"https://trade.broker.example/", false},
      {"an empty list", Policy{REG_SZ, L""}, Page::kDocument, L"https://trade.broker.example/",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RemovePolicy();
    if (c.list) WritePolicy(*c.list);
    FakeDocument document(c.url, c.page == Page::kUnreadable ? E_FAIL : S_OK);
    FakeBrowser browser(c.page == Page::kFrame ? L"https://trade.broker.example/" : c.url);
    const bool hasDocument =
        c.page == Page::kDocument || c.page == Page::kFrame || c.page == Page::kUnreadable;
    const bool hasBrowser = c.page == Page::kBrowser || c.page == Page::kFrame;
    FakeSite site(hasDocument ? &document : nullptr, hasBrowser ? &browser : nullptr);
    Listener listener;
    FakeFunction connected;
    IComponentMethods* object = Create();
    ASSERT_NE(object, nullptr);
    if (c.page != Page::kNoSite) {
      EXPECT_EQ(SetSite(object, static_cast<IOleClientSite*>(&site)), S_OK);
    }

    // What the browser asks next, then what the page's script does.
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), c.allowed ? S_OK : E_FAIL);
    DWORD supported = 9, enabled = 9;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled),
              c.allowed ? S_OK : E_FAIL);
    EXPECT_EQ(supported, c.allowed ? 3u : 0u);
    EXPECT_EQ(enabled, c.allowed ? 3u : 0u);
    safety->Release();
    const HRESULT member = c.allowed ? S_OK : E_ACCESSDENIED;
    EXPECT_EQ(CountByDispatch(object), member);
    VARIANT count;
    VariantInit(&count);
    EXPECT_EQ(object->getRequestCount(&count), member);
    EXPECT_EQ(object->putref_handleConnect(&connected), member);
    EXPECT_EQ(Connect(object, listener.Port()), member);
    EXPECT_EQ(listener.Accept(), c.allowed);
    EXPECT_EQ(connected.calls.size(), c.allowed ? 1u : 0u);

    if (c.page != Page::kNoSite) {
      EXPECT_EQ(SetSite(object, nullptr), S_OK);
    }
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(site.refs, 1);
    EXPECT_EQ(document.refs, 1);
    EXPECT_EQ(browser.refs, 1);
    EXPECT_EQ(connected.refs, 1);
  }
}

// An object a page's script creates gets its site from the script engine
// (here Wine's JScript): no client site, only the services of the page's
// script site. The page is the script's document, a frame's inside another
// site's page, whatever the browser shows on top.
TEST_F(SiteLockTest, AScriptCreatedObjectIsJudgedByItsScriptsDocument) {
  ASSERT_EQ(Server::Get().registerServer(), S_OK);  // the engine creates it by its ProgID
  WritePolicy(kList);
  const wchar_t* const allowed = L"https://trade.broker.example/";
  const wchar_t* const evil = L"https://evil.test/";
  const struct {
    const char* what;
    const wchar_t* document;  // the script's; null: none
    const wchar_t* top;       // the browser's page; null: no browser (as in Wine's mshtml)
    bool allowed;
  } cases[] = {
      {"the allowed page", allowed, allowed, true},
      {"another site's frame in the allowed page", evil, allowed, false},
      {"an allowed frame in another site's page", allowed, evil, true},
      {"another site's page, no browser", evil, nullptr, false},
      {"a browser showing no document", nullptr, allowed, false},
      {"a host without a document", nullptr, nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDocument document(c.document != nullptr ? c.document : L"");
    FakeBrowser browser(c.top != nullptr ? c.top : L"");
    FakeSite page(c.document != nullptr ? &document : nullptr,
                  c.top != nullptr ? &browser : nullptr, Siting::kScript);
    EXPECT_EQ(RunPageScript(page, kCreateAndCall), c.allowed ? L"allowed" : L"refused 80070005");
    EXPECT_EQ(page.refs, 1);
    EXPECT_EQ(document.refs, 1);
    EXPECT_EQ(browser.refs, 1);
  }
}

TEST_F(SiteLockTest, TheSiteIsKeptUntilReplacedOrReleased) {
  FakeDocument document(L"https://trade.broker.example/");
  FakeSite first(&document, nullptr), second(nullptr, nullptr);
  IComponentMethods* object = Create();
  IObjectWithSite* withSite = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite)), S_OK);
  void* got = reinterpret_cast<void*>(1);
  EXPECT_EQ(withSite->GetSite(IID_IUnknown, &got), E_FAIL);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(withSite->GetSite(IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(withSite->SetSite(static_cast<IOleClientSite*>(&first)), S_OK);
  EXPECT_EQ(first.refs, 2);
  IServiceProvider* services = nullptr;
  EXPECT_EQ(withSite->GetSite(IID_IServiceProvider, reinterpret_cast<void**>(&services)), S_OK);
  EXPECT_EQ(services, static_cast<IServiceProvider*>(&first));
  services->Release();
  got = reinterpret_cast<void*>(1);
  EXPECT_EQ(withSite->GetSite(IID_IPersist, &got), E_NOINTERFACE);
  EXPECT_EQ(got, nullptr);

  EXPECT_EQ(withSite->SetSite(static_cast<IOleClientSite*>(&second)), S_OK);
  EXPECT_EQ(first.refs, 1);
  EXPECT_EQ(second.refs, 2);
  EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
  EXPECT_EQ(second.refs, 1);
  EXPECT_EQ(withSite->GetSite(IID_IUnknown, &got), E_FAIL);

  // The final release lets go of a site the host never took back.
  EXPECT_EQ(withSite->SetSite(static_cast<IOleClientSite*>(&first)), S_OK);
  withSite->Release();
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(first.refs, 1);
  EXPECT_EQ(document.refs, 1);
}

// The refused page may still hold the object: taking the site back and
// giving an allowed one does not hand it over. The trace says why.
TEST_F(SiteLockTest, ARefusalIsForGoodAndTraced) {
  WritePolicy(kList);
  FakeDocument evil(L"https://evil.test/page"), allowed(L"https://trade.broker.example/");
  FakeSite evilSite(&evil, nullptr), allowedSite(&allowed, nullptr);
  IComponentMethods* object = Create();
  std::vector<std::string> lines;
  VARIANT count;
  VariantInit(&count);
  {
    const TraceCapture trace(lines);
    EXPECT_EQ(SetSite(object, static_cast<IOleClientSite*>(&evilSite)), S_OK);
    EXPECT_EQ(object->getRequestCount(&count), E_ACCESSDENIED);
  }
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "ComponentMethods::SetSite: https://evil.test/page is not an allowed site: "
                      "the object refuses\n"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "ComponentMethods::getRequestCount: refused, the page is not an allowed "
                      "site\n"),
            lines.end());

  EXPECT_EQ(SetSite(object, nullptr), S_OK);
  EXPECT_EQ(object->getRequestCount(&count), E_ACCESSDENIED);
  EXPECT_EQ(SetSite(object, static_cast<IOleClientSite*>(&allowedSite)), S_OK);
  EXPECT_EQ(object->getRequestCount(&count), E_ACCESSDENIED);
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), E_FAIL);
  safety->Release();
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(allowedSite.refs, 1);
}

// A host may give the site only after its script has used the object: the
// refusal then ends the connection and lets go of the callbacks at once.
TEST_F(SiteLockTest, ARefusalAfterScriptingEndsTheConnection) {
  WritePolicy(kList);
  Listener listener;
  FakeFunction connected, data;
  IComponentMethods* object = Create();
  EXPECT_EQ(object->putref_handleConnect(&connected), S_OK);
  EXPECT_EQ(object->putref_handleData(&data), S_OK);
  EXPECT_EQ(Connect(object, listener.Port()), S_OK);
  ASSERT_TRUE(listener.Accept());
  EXPECT_EQ(connected.calls.size(), 1u);

  FakeDocument evil(L"https://evil.test/");
  FakeSite site(&evil, nullptr);
  const size_t windows = ComponentWindows().size();
  EXPECT_EQ(SetSite(object, static_cast<IOleClientSite*>(&site)), S_OK);
  EXPECT_EQ(connected.refs, 1);
  EXPECT_EQ(data.refs, 1);
  EXPECT_TRUE(listener.PeerClosed());
  EXPECT_EQ(ComponentWindows().size(), windows - 1);  // the core went with its window
  EXPECT_EQ(Connect(object, listener.Port()), E_ACCESSDENIED);
  EXPECT_FALSE(listener.Accept());
  EXPECT_EQ(object->Release(), 0u);
}

// A refusal that comes while one of the object's callbacks runs (a native
// host's callback giving the site) takes effect for the page at once; the
// core goes when the member call that fired the callback has returned.
TEST_F(SiteLockTest, ARefusalInsideACallbackWaitsForTheCallToEnd) {
  WritePolicy(kList);
  FakeDocument evil(L"https://evil.test/");
  FakeSite site(&evil, nullptr);
  FakeFunction failure;
  IComponentMethods* object = Create();
  const std::vector<HWND> window = ComponentWindows();
  ASSERT_FALSE(window.empty());
  bool alive = false;
  failure.onCall = [&] {
    SetSite(object, static_cast<IOleClientSite*>(&site));
    alive = IsWindow(window.back()) != FALSE;
  };
  EXPECT_EQ(object->putref_handleConnectionFailure(&failure), S_OK);
  // Both connections fail; the second failure finds the slot empty.
  EXPECT_EQ(object->setMultiOC(I4(1)), S_OK);
  EXPECT_EQ(Connect(object, ClosedPort()), S_OK);
  EXPECT_EQ(failure.calls.size(), 1u);
  EXPECT_EQ(failure.refs, 1);
  EXPECT_TRUE(alive) << "the core went while its call was under way";
  EXPECT_FALSE(IsWindow(window.back())) << "the core stayed after the call";
  VARIANT count;
  VariantInit(&count);
  EXPECT_EQ(object->getRequestCount(&count), E_ACCESSDENIED);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(site.refs, 1);
}

}  // namespace
}  // namespace corvane::test
