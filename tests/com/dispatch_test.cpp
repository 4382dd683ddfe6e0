// The built corvane.dll driven through IDispatch as script does: the type
// library's members, their results, and the callback properties.
#include "tests/com/server_fixture.h"

namespace corvane::test {
namespace {

TEST_F(ServerTest, DispatchThroughTheTypeLibrary) {
  IComponentMethods* object = Create();
  UINT count = 0;
  EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* typeInfo = nullptr;
  EXPECT_EQ(object->GetTypeInfo(1, 0, &typeInfo), DISP_E_BADINDEX);
  ASSERT_EQ(object->GetTypeInfo(0, 0, &typeInfo), S_OK);
  TYPEATTR* attr = nullptr;
  typeInfo->GetTypeAttr(&attr);
  // The second interface's, which has every member.
  EXPECT_TRUE(IsEqualIID(attr->guid, IID_IComponentMethods2));
  typeInfo->ReleaseTypeAttr(attr);
  typeInfo->Release();

  const struct {
    const wchar_t* name;
    DISPID id;
  } members[] = {{L"SetProxyCredentials", 1},
                 {L"SendConnect", 2},
                 {L"ReceiveData", 5},
                 {L"ConnectToServer", 6},
                 {L"SetServerDetails", 7},
                 {L"setKeepAliveTimerDetail", 8},
                 {L"setTimerDetails", 9},
                 {L"setEncryption", 10},
                 {L"setCompression", 11},
                 {L"setMultiOC", 12},
                 {L"handleConnect", 13},
                 {L"handleConnectionFailure", 14},
                 {L"handleMaximumReConnection", 15},
                 {L"handleDisConnect", 17},
                 {L"setOCDetails", 18},
                 {L"handleData", 19},
                 {L"handleAuthentication", 21},
                 {L"startKeepAlive", 22},
                 {L"sendRequest", 23},
                 {L"sendBCRequest", 24},
                 {L"handleBCDisConnect", 25},
                 {L"getPacketCount", 26},
                 {L"getRequestCount", 27},
                 {L"setProxyServerDetails", 28},
                 {L"setTransportSecurity", 29},
                 {L"setServerPins", 30},
                 {L"getTransportSecurity", 31},
                 {L"setConflation", 32},
                 {L"getConflatedCount", 33}};
  for (const auto& member : members) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(member.name)};
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, member.id) << "member " << static_cast<int>(member.id);
  }
  // Script engines look names up without regard to case.
  DISPID id = 0;
  LPOLESTR lower[] = {const_cast<LPOLESTR>(L"setmultioc")};
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, lower, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, 12);
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"call")};
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id),
            DISP_E_UNKNOWNNAME);
  EXPECT_EQ(object->GetIDsOfNames(IID_IDispatch, lower, 1, LOCALE_USER_DEFAULT, &id),
            DISP_E_UNKNOWNINTERFACE);
  object->Release();
}

TEST_F(ServerTest, ResultsAreIntegersInVariants) {
  IComponentMethods* object = Create();
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(CallByName(object, L"getPacketCount", {}, &result), S_OK);
  EXPECT_EQ(V_VT(&result), VT_INT);
  EXPECT_EQ(V_INT(&result), 0);
  ASSERT_EQ(CallByName(object, L"getRequestCount", {}, &result), S_OK);
  EXPECT_EQ(V_VT(&result), VT_INT);

  // A refused address (a number) and a refused port type (VT_INT).
  ASSERT_EQ(CallByName(object, L"SetServerDetails", {I4(5), I4(1), I4(2), I4(1)}, &result), S_OK);
  EXPECT_EQ(V_VT(&result), VT_INT);
  EXPECT_EQ(V_INT(&result), -1);
  VARIANT intPort;
  V_VT(&intPort) = VT_INT;
  V_INT(&intPort) = 80;
  ASSERT_EQ(
      CallByName(object, L"SetServerDetails", {Str(L"127.0.0.1"), intPort, I4(2), I4(1)}, &result),
      S_OK);
  EXPECT_EQ(V_INT(&result), -1);

  // The out-VARIANT is cleared before it is written (a BSTR would leak or
  // survive otherwise).
  VARIANT out = Str(L"previous");
  EXPECT_EQ(object->getRequestCount(&out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_INT);
  EXPECT_EQ(V_INT(&out), 0);
  VariantClear(&out);
  EXPECT_EQ(object->getRequestCount(nullptr), E_POINTER);

  // SendConnect without a proxy sends nothing and reports 0.
  EXPECT_EQ(object->SendConnect(&out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_INT);
  EXPECT_EQ(V_INT(&out), 0);
  object->Release();
}

TEST_F(ServerTest, MethodsThatNeverWriteTheirResult) {
  IComponentMethods* object = Create();
  VARIANT out;
  V_VT(&out) = VT_I4;
  V_I4(&out) = 1234;
  const HRESULT hr = object->startKeepAlive(I4(0), &out);
  EXPECT_TRUE(hr == S_OK || hr == E_FAIL) << std::hex << hr;
  EXPECT_EQ(V_VT(&out), VT_I4);
  EXPECT_EQ(V_I4(&out), 1234);

  VARIANT ip = Str(L"10.1.1.1"), port = I4(8080), uid = Str(L"-99"), pwd = Str(L"pw");
  EXPECT_EQ(object->setProxyServerDetails(ip, port, uid, pwd, &out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_I4);
  EXPECT_EQ(V_I4(&out), 1234);
  VariantClear(&ip);
  VariantClear(&uid);
  VariantClear(&pwd);
  object->Release();
}

// sendBCRequest sends nothing. With one connection it counts a request and
// the result keeps the caller's value, typed VT_INT (a value that is not a
// number becomes 0); with two it answers 0 for a string and -1 otherwise.
TEST_F(ServerTest, SendBCRequestResults) {
  VARIANT bstrBefore = Str(L"previous");
  VARIANT intBefore;
  V_VT(&intBefore) = VT_INT;
  V_INT(&intBefore) = -7;
  VARIANT emptyBefore;
  VariantInit(&emptyBefore);
  struct Case {
    const char* what;
    bool multi;
    bool stringRequest;
    VARIANT before;
    INT result;
    LONG counted;
  } cases[] = {
      {"one connection, VT_I4 kept", false, true, I4(1234), 1234, 1},
      {"one connection, VT_INT kept", false, true, intBefore, -7, 1},
      {"one connection, request not a string", false, false, I4(55), 55, 1},
      {"one connection, empty", false, true, emptyBefore, 0, 1},
      {"one connection, text", false, true, bstrBefore, 0, 1},
      {"two connections", true, true, I4(1234), 0, 0},
      {"two connections, request not a string", true, false, I4(1234), -1, 0},
  };
  for (auto& test : cases) {
    SCOPED_TRACE(test.what);
    IComponentMethods* object = Create();
    ASSERT_NE(object, nullptr);
    // A number turns the second connection on, a boolean turns it off.
    VARIANT multi;
    V_VT(&multi) = VT_BOOL;
    V_BOOL(&multi) = VARIANT_TRUE;
    if (test.multi) multi = I4(1);
    EXPECT_EQ(object->setMultiOC(multi), S_OK);
    VARIANT request = test.stringRequest ? Str(L"1=1") : I4(1);
    VARIANT out = test.before;  // owns the text, if any, from here on
    EXPECT_EQ(object->sendBCRequest(request, &out), S_OK);
    EXPECT_EQ(V_VT(&out), VT_INT);
    EXPECT_EQ(V_INT(&out), test.result);
    VARIANT count;
    VariantInit(&count);
    EXPECT_EQ(object->getRequestCount(&count), S_OK);
    EXPECT_EQ(V_INT(&count), test.counted);
    VariantClear(&out);
    VariantClear(&request);
    object->Release();
  }
}

TEST_F(ServerTest, ReceiveDataGivesTextEvenWithoutConnection) {
  IComponentMethods* object = Create();
  VARIANT data;
  V_VT(&data) = VT_I4;
  V_I4(&data) = 1;
  EXPECT_EQ(object->ReceiveData(&data), S_OK);
  EXPECT_EQ(V_VT(&data), VT_BSTR);
  VariantClear(&data);
  object->Release();
}

TEST_F(ServerTest, CallbackPropertiesHoldTheAssignedObject) {
  IComponentMethods* object = Create();
  FakeFunction function;
  EXPECT_EQ(object->putref_handleData(&function), S_OK);
  EXPECT_EQ(function.lookups, 1);
  EXPECT_TRUE(function.lookupRiidNull);
  EXPECT_EQ(function.lookupLcid, static_cast<LCID>(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(function.lookupCount, 1u);
  EXPECT_EQ(function.lookupName, L"call");
  EXPECT_GT(function.refs, 1);

  IDispatch* back = nullptr;
  EXPECT_EQ(object->get_handleData(&back), S_OK);
  EXPECT_EQ(back, &function);
  back->Release();
  // The other slots are separate and empty.
  EXPECT_EQ(object->get_handleAuthentication(&back), S_OK);
  EXPECT_EQ(back, nullptr);
  EXPECT_EQ(object->get_handleData(nullptr), E_POINTER);

  EXPECT_EQ(object->putref_handleData(nullptr), S_OK);
  EXPECT_EQ(object->get_handleData(&back), S_OK);
  EXPECT_EQ(back, nullptr);
  EXPECT_EQ(function.refs, 1);

  // handleBCDisConnect can be assigned and read back.
  EXPECT_EQ(object->putref_handleBCDisConnect(&function), S_OK);
  EXPECT_EQ(object->get_handleBCDisConnect(&back), S_OK);
  EXPECT_EQ(back, &function);
  back->Release();
  object->Release();
  // The final release lets go of the callback objects.
  EXPECT_EQ(function.refs, 1);
}

TEST_F(ServerTest, PlainPropertyPutAssignsACallback) {
  IComponentMethods* object = Create();
  FakeFunction function;
  for (WORD flags :
       {static_cast<WORD>(DISPATCH_PROPERTYPUT), static_cast<WORD>(DISPATCH_PROPERTYPUTREF),
        static_cast<WORD>(DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)}) {
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = &function;
    function.AddRef();
    EXPECT_EQ(CallByName(object, L"handleConnect", {value}, nullptr, flags), S_OK) << flags;
    VARIANT got;
    VariantInit(&got);
    EXPECT_EQ(CallByName(object, L"handleConnect", {}, &got, DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(V_VT(&got), VT_DISPATCH);
    EXPECT_EQ(V_DISPATCH(&got), &function);
    VariantClear(&got);
    EXPECT_EQ(object->putref_handleConnect(nullptr), S_OK);
  }
  object->Release();
  EXPECT_EQ(function.refs, 1);
}

TEST_F(ServerTest, NullOrNothingEmptiesACallbackSlot) {
  IComponentMethods* object = Create();
  FakeFunction function;
  for (VARTYPE empty : {static_cast<VARTYPE>(VT_NULL), static_cast<VARTYPE>(VT_EMPTY)}) {
    EXPECT_EQ(object->putref_handleData(&function), S_OK);
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = empty;
    EXPECT_EQ(CallByName(object, L"handleData", {value}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
    IDispatch* back = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(object->get_handleData(&back), S_OK);
    EXPECT_EQ(back, nullptr);
  }
  EXPECT_EQ(function.refs, 1);
  // A value that is no object is refused and changes nothing.
  EXPECT_EQ(object->putref_handleData(&function), S_OK);
  EXPECT_EQ(CallByName(object, L"handleData", {I4(5)}, nullptr, DISPATCH_PROPERTYPUT),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(CallByName(object, L"handleData", {Str(L"f")}, nullptr, DISPATCH_PROPERTYPUTREF),
            DISP_E_TYPEMISMATCH);
  IDispatch* back = nullptr;
  EXPECT_EQ(object->get_handleData(&back), S_OK);
  EXPECT_EQ(back, &function);
  back->Release();
  // VBScript passes its variables by reference.
  VARIANT inner;
  V_VT(&inner) = VT_NULL;
  VARIANT ref;
  V_VT(&ref) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&ref) = &inner;
  EXPECT_EQ(CallByName(object, L"handleData", {ref}, nullptr, DISPATCH_PROPERTYPUT), S_OK);
  EXPECT_EQ(object->get_handleData(&back), S_OK);
  EXPECT_EQ(back, nullptr);
  object->Release();
  EXPECT_EQ(function.refs, 1);
}

TEST_F(ServerTest, ConnectionFailureCallsCallWithTextAndComponent) {
  IComponentMethods* object = Create();
  FakeFunction failure, maximum, broken;
  broken.hasCall = false;
  EXPECT_EQ(object->putref_handleConnectionFailure(&failure), S_OK);
  EXPECT_EQ(object->putref_handleMaximumReConnection(&maximum), S_OK);
  EXPECT_EQ(object->putref_handleConnect(&broken), S_OK);
  EXPECT_EQ(broken.lookups, 1);

  const int port = ClosedPort();
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(CallByName(object, L"SetServerDetails", {Str(L"127.0.0.1"), I4(port), I4(port), I4(1)},
                       &result),
            S_OK);
  EXPECT_EQ(V_VT(&result), VT_INT);
  EXPECT_EQ(V_INT(&result), 0);

  ASSERT_FALSE(failure.calls.empty());
  const RecordedCall& call = failure.calls.front();
  EXPECT_EQ(call.id, FakeFunction::kCallId);
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  EXPECT_EQ(call.lcid, static_cast<LCID>(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(call.argCount, 2u);
  EXPECT_EQ(call.namedCount, 0u);
  EXPECT_EQ(call.textType, VT_BSTR);
  EXPECT_EQ(call.text, L"1");
  EXPECT_EQ(call.thisType, VT_DISPATCH);
  EXPECT_EQ(call.thisIdentity, Identity(object));
  EXPECT_TRUE(broken.calls.empty());
  // The look-up happened once, at assignment, not per event.
  EXPECT_EQ(failure.lookups, 1);
  object->Release();
  EXPECT_EQ(failure.refs, 1);
  EXPECT_EQ(maximum.refs, 1);
  EXPECT_EQ(broken.refs, 1);
}

TEST_F(ServerTest, ACallbackMayReplaceItselfWhileItRuns) {
  IComponentMethods* object = Create();
  FakeFunction failure, successor;
  LONG refsInsideCall = 0;
  failure.onCall = [&] {
    // What `component.handleConnectionFailure = other` does inside the
    // callback: the slot lets go of the running function.
    object->putref_handleConnectionFailure(&successor);
    refsInsideCall = failure.refs;
  };
  object->putref_handleConnectionFailure(&failure);
  // Both connections, so that a second failure follows the first.
  EXPECT_EQ(object->setMultiOC(I4(1)), S_OK);
  const int port = ClosedPort();
  VARIANT ip = Str(L"127.0.0.1"), p = I4(port), flag = I4(1), result;
  VariantInit(&result);
  EXPECT_EQ(object->SetServerDetails(ip, p, p, flag, &result), S_OK);
  VariantClear(&ip);
  ASSERT_EQ(failure.calls.size(), 1u);
  // Still referenced by the component while the function ran.
  EXPECT_GE(refsInsideCall, 2);
  EXPECT_EQ(failure.refs, 1);
  // Later failures go to the successor.
  EXPECT_FALSE(successor.calls.empty());
  object->Release();
  EXPECT_EQ(successor.refs, 1);
}

TEST_F(ServerTest, AggregatedComponentPassesTheOuterAsThis) {
  Outer outer;
  ASSERT_EQ(m_factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
            S_OK);
  IComponentMethods* object = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IComponentMethods, reinterpret_cast<void**>(&object)), S_OK);
  FakeFunction failure;
  failure.failCalls = true;  // a failing callback does not stop the component
  object->putref_handleConnectionFailure(&failure);
  const int port = ClosedPort();
  VARIANT ip = Str(L"127.0.0.1"), p = I4(port), flag = I4(1), result;
  VariantInit(&result);
  EXPECT_EQ(object->SetServerDetails(ip, p, p, flag, &result), S_OK);
  VariantClear(&ip);
  ASSERT_FALSE(failure.calls.empty());
  EXPECT_EQ(failure.calls.front().thisIdentity, static_cast<IUnknown*>(&outer));
  object->Release();
  EXPECT_EQ(outer.refs, 1);
  outer.inner->Release();
  EXPECT_EQ(failure.refs, 1);
}

}  // namespace
}  // namespace corvane::test
