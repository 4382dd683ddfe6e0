// The built corvane.dll as a host meets it: class object, identity and
// aggregation, object safety, unload rules and the hidden window.
#include "tests/com/server_fixture.h"

namespace corvane::test {
namespace {

TEST_F(ServerTest, ClassObjectOnlyForItsClass) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(Server::Get().getClassObject(IID_IComponentMethods, IID_IClassFactory, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  IUnknown* unknown = nullptr;
  EXPECT_EQ(Server::Get().getClassObject(CLSID_ComponentMethods, IID_IUnknown,
                                         reinterpret_cast<void**>(&unknown)),
            S_OK);
  ASSERT_NE(unknown, nullptr);
  unknown->Release();
  EXPECT_EQ(Server::Get().getClassObject(CLSID_ComponentMethods, IID_IDispatch, &object),
            E_NOINTERFACE);
}

TEST_F(ServerTest, AnswersItsInterfacesWithOneIdentity) {
  IComponentMethods* object = Create();
  ASSERT_NE(object, nullptr);
  IUnknown* identity = Identity(object);
  for (const IID* iid : {&IID_IComponentMethods, &IID_IComponentMethods2, &IID_IDispatch,
                         &IID_IObjectSafety, &IID_IObjectWithSite, &IID_IUnknown}) {
    IUnknown* face = nullptr;
    ASSERT_EQ(object->QueryInterface(*iid, reinterpret_cast<void**>(&face)), S_OK);
    EXPECT_EQ(Identity(face), identity);
    face->Release();
  }
  for (const IID* iid : {&IID_IPersist, &IID_IConnectionPointContainer, &IID_IProvideClassInfo,
                         &IID_IClassFactory}) {
    void* face = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(*iid, &face), E_NOINTERFACE);
    EXPECT_EQ(face, nullptr);
  }
  // IDispatch, IComponentMethods and IComponentMethods2 are one vtable (dual
  // interfaces, the second extending the first).
  for (const IID* iid : {&IID_IDispatch, &IID_IComponentMethods2}) {
    IUnknown* face = nullptr;
    object->QueryInterface(*iid, reinterpret_cast<void**>(&face));
    EXPECT_EQ(face, static_cast<IUnknown*>(object));
    face->Release();
  }
  EXPECT_EQ(object->Release(), 0u);
}

TEST_F(ServerTest, ObjectSafetyDefaults) {
  IComponentMethods* object = Create();
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  for (const IID* iid : {&IID_IDispatch, &IID_IComponentMethods, &IID_IUnknown}) {
    DWORD supported = 99, enabled = 99;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);
  }
  DWORD supported = 99, enabled = 99;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr), E_POINTER);
  safety->Release();
  object->Release();
}

TEST_F(ServerTest, ObjectSafetyOptionsFollowTheMask) {
  IComponentMethods* object = Create();
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 0, enabled = 0;

  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 3u);

  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0), S_OK);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 2u);

  // A bit outside the supported pair: refused, nothing changes.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 7, 0), E_FAIL);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 2u);

  // Enabled bits outside the mask are ignored.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IComponentMethods, 2, 1), S_OK);
  safety->GetInterfaceSafetyOptions(IID_IComponentMethods, &supported, &enabled);
  EXPECT_EQ(enabled, 0u);

  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersist, 3, 3), E_NOINTERFACE);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 0u);

  // The options are one word for the object, not one per interface.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IUnknown, 3, 1), S_OK);
  safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 1u);
  safety->Release();
  object->Release();
}

TEST_F(ServerTest, ObjectSafetyCallsWriteTheirTraceLines) {
  IComponentMethods* object = Create();
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  std::vector<std::string> lines;
  {
    const TraceCapture trace(lines);
    DWORD supported = 0, enabled = 0;
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 0);  // refused, traced all the same
    safety->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled);
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "IObjectSafetyImpl2::GetInterfaceSafetyOptions\n");
  EXPECT_EQ(lines[1], "IObjectSafetyImpl2::SetInterfaceSafetyOptions\n");
  EXPECT_EQ(lines[2], "IObjectSafetyImpl2::GetInterfaceSafetyOptions\n");
  safety->Release();
  object->Release();
}

TEST_F(ServerTest, UnloadsOnlyWithoutObjectsAndLocks) {
  EXPECT_EQ(Server::Get().canUnloadNow(), S_OK);
  IComponentMethods* object = Create();
  EXPECT_EQ(Server::Get().canUnloadNow(), S_FALSE);
  IComponentMethods* second = Create();
  object->Release();
  EXPECT_EQ(Server::Get().canUnloadNow(), S_FALSE);
  second->Release();
  EXPECT_EQ(Server::Get().canUnloadNow(), S_OK);

  EXPECT_EQ(m_factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(Server::Get().canUnloadNow(), S_FALSE);
  EXPECT_EQ(m_factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(Server::Get().canUnloadNow(), S_OK);

  // Holding the class object alone does not keep the module.
  EXPECT_EQ(Server::Get().canUnloadNow(), S_OK);
}

TEST_F(ServerTest, AggregatedObjectDelegatesToItsOuter) {
  Outer outer;
  void* refused = reinterpret_cast<void*>(1);
  EXPECT_EQ(m_factory->CreateInstance(&outer, IID_IDispatch, &refused), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(refused, nullptr);
  ASSERT_EQ(m_factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
            S_OK);
  EXPECT_EQ(outer.refs, 1);

  IDispatch* dispatch = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  // The reference counts the outer object, and identity is the outer's.
  EXPECT_EQ(outer.refs, 2);
  EXPECT_EQ(Identity(dispatch), static_cast<IUnknown*>(&outer));
  IObjectSafety* safety = nullptr;
  EXPECT_EQ(dispatch->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 0, enabled = 9;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  safety->Release();
  dispatch->Release();
  EXPECT_EQ(outer.refs, 1);

  EXPECT_EQ(Server::Get().canUnloadNow(), S_FALSE);
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(Server::Get().canUnloadNow(), S_OK);
}

TEST_F(ServerTest, HiddenWindowLivesWithTheObject) {
  const size_t before = ComponentWindows().size();
  IComponentMethods* object = Create();
  std::vector<HWND> windows = ComponentWindows();
  ASSERT_EQ(windows.size(), before + 1);
  HWND hwnd = windows.back();
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetParent(hwnd), nullptr);
  EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & (WS_POPUP | WS_VISIBLE | WS_CHILD),
            static_cast<LONG>(WS_POPUP));
  RECT rect = {};
  GetWindowRect(hwnd, &rect);
  EXPECT_EQ(rect.left, 0);
  EXPECT_EQ(rect.top, 0);
  EXPECT_EQ(rect.right, 100);
  EXPECT_EQ(rect.bottom, 100);

  IComponentMethods* second = Create();
  EXPECT_EQ(ComponentWindows().size(), before + 2);
  object->Release();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(ComponentWindows().size(), before + 1);
  second->Release();
  EXPECT_EQ(ComponentWindows().size(), before);

  // The window class comes back for the next object.
  object = Create();
  EXPECT_EQ(ComponentWindows().size(), before + 1);
  object->Release();
}

}  // namespace
}  // namespace corvane::test
