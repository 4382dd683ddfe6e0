// Delivery through the hidden window: texts arrive whole, in order, on the
// script's thread, with the component as `this`; an empty slot drops data
// and delivery goes on when a callback is assigned again.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);  // a boolean: one connection only
recordAll(c);
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "connected");
c.sendRequest("1=logon");
check(waitFor(function () { return countOf("auth:") === 1; }, 10000), "logon delivered");

function replied(text) {
  return waitFor(function () {
    for (var i = 0; i < events.length; i++) if (events[i] === "data:reply|" + text) return true;
    return false;
  }, 10000);
}

// Characters of the ANSI code page travel as its bytes and come back.
check(c.sendRequest("55=caf\u00e9") === 0 && replied("55=caf\u00e9"), "ANSI text round trip");
// Requests answered in order.
for (var i = 1; i <= 5; i++) c.sendRequest("n=" + i);
check(replied("n=5"), "five replies");
var order = [];
for (var j = 0; j < events.length; j++) {
  if (/^data:reply\|n=/.test(events[j])) order.push(events[j].substring(13));
}
equal(order.join(","), "1,2,3,4,5", "replies in order");

// No data callback: messages are dropped, nothing fails. The reply is
// counted when it is routed; the pump after that hands it to the empty slot.
c.handleData = null;
var before = events.length;
var counted = c.getPacketCount();
c.sendRequest("dropped=1");
check(waitFor(function () { return c.getPacketCount() > counted; }, 10000), "reply routed");
WScript.Sleep(100);
equal(events.length, before, "no event without a data callback");
// Assigned again, delivery goes on; replies come in order, so the dropped
// one can no longer turn up.
c.handleData = recorder(c, "data");
c.sendRequest("after=1");
check(replied("after=1"), "delivery resumes");
check(!replied("dropped=1"), "the dropped reply stays dropped");
check(c.getPacketCount() >= 8, "packets counted: " + c.getPacketCount());
equal(countOf("bcdisconnect:"), 0, "handleBCDisConnect is never called");
finish();
