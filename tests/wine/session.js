// A whole session as a page runs it: connection events in order, the logon
// response and the feed delivered through the hidden window, replies to
// requests, counters.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);
c.setTimerDetails(100, 1);
recordAll(c);

// setOCDetails takes both endpoints (as strings) and returns nothing; both
// connections are made inside the call, interactive first.
equal(c.setOCDetails(host, interactivePort, host, broadcastPort, "", ""), undefined,
      "setOCDetails result");
equal(events.join(","), "connect:true,connect:true", "connection events");
equal(c.getPacketCount(), 0, "no packets before logon");

equal(c.sendRequest("1=logon|2=demo"), 0, "logon request sent");
equal(c.getRequestCount(), 1, "request counted");
check(waitFor(function () { return countOf("auth:") > 0; }, 10000), "logon response delivered");
equal(events[2], "auth:true|10000|Logon success", "authentication text");

// The feed follows a successful logon on the broadcast connection.
check(waitFor(function () { return countOf("data:") >= 3; }, 10000), "feed messages delivered");
var firstFeed = "";
for (var i = 0; i < events.length; i++) {
  if (events[i].indexOf("data:") === 0) { firstFeed = events[i]; break; }
}
check(/^data:.*\b34=\d+\|.*\b60=\d+/.test(firstFeed), "feed message text " + firstFeed);

// A request after logon is answered as data.
equal(c.sendRequest("1=quote|55=DEMO"), 0, "quote request sent");
check(waitFor(function () {
  for (var i = 0; i < events.length; i++) if (events[i] === "data:reply|1=quote|55=DEMO") return true;
  return false;
}, 10000), "reply delivered");
equal(c.getRequestCount(), 2, "two requests counted");
var packets = c.getPacketCount();
check(packets >= 4, "packets counted: " + packets);
equal(c.getPacketCount() >= packets, true, "packet count does not go back");
equal(countOf("failure:") + countOf("maximum:") + countOf("disconnect:"), 0, "no failure events");
finish();
