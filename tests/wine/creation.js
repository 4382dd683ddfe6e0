// Creation by both ProgIDs, the callback properties as a script sees them,
// and results that need no server.
var byName = new ActiveXObject("Corvane.ComponentMethods");
var byVersion = new ActiveXObject("Corvane.ComponentMethods.1");
equal(typeof byName, "object", "created by the version-independent ProgID");
equal(typeof byVersion, "object", "created by the versioned ProgID");
check(byName !== byVersion, "two objects");
var viaHost = WScript.CreateObject("Corvane.ComponentMethods");
equal(typeof viaHost.getPacketCount(), "number", "created through WScript.CreateObject");

var c = byName;
equal(c.getPacketCount(), 0, "packet count of a new object");
equal(c.getPacketCount(), 0, "packet count read twice");
equal(c.getRequestCount(), 0, "request count of a new object");

// Callback properties keep what they are given and give it back.
var f = function (text) { return text; };
equal(c.handleData, null, "an empty callback slot reads as null");
c.handleData = f;
check(c.handleData === f, "handleData gives back the function");
c.handleBCDisConnect = f;
check(c.handleBCDisConnect === f, "handleBCDisConnect can be assigned and read back");
c.handleData = null;
equal(c.handleData, null, "assigning null empties the slot");
// Any object with a member "call" will do; one without is accepted too.
var withCall = { call: function () {} };
c.handleAuthentication = withCall;
check(c.handleAuthentication === withCall, "a plain object is kept");

// Names are looked up without regard to case, as in every script engine.
equal(c.GETREQUESTCOUNT(), 0, "member names ignore case");

// A member the interface does not have is a script error.
var threw = false;
try {
  c.noSuchMember();
} catch (e) {
  threw = true;
}
check(threw, "an unknown member throws");

// The refusals of SetServerDetails: a number as the address.
equal(c.SetServerDetails(1270001, parseInt(interactivePort, 10), 0, 1), -1,
      "SetServerDetails refuses an address that is not a string");
equal(typeof c.SetServerDetails(5, 1, 2, 1), "number", "the refusal is a number");
// startKeepAlive returns nothing (its result is never written).
c.setMultiOC(false);  // a boolean: one connection only
c.setKeepAliveTimerDetail(1000);
var ka = c.startKeepAlive("");
equal(ka, undefined, "startKeepAlive has no result");
// setProxyServerDetails has none either.
equal(c.setProxyServerDetails("10.1.1.1", 8080, "-99", "pw"), undefined,
      "setProxyServerDetails has no result");
finish();
