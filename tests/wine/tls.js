// A session over TLS: both connections through stunnel (OpenSSL) with full
// verification against the CA the prefix trusts, the interactive one by name
// (localhost), the broadcast one by address; logon, feed and reply as in
// session.js, and what each connection negotiated.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);
c.setTimerDetails(100, 1);
recordAll(c);

equal(c.setTransportSecurity(0, 1), 0, "TLS for both connections");
equal(c.setTransportSecurity(3, 1), -1, "no such connection");
equal(c.getTransportSecurity(1), "", "nothing negotiated before connecting");
c.setOCDetails("localhost", interactivePort, host, broadcastPort, "", "");
equal(events.join(","), "connect:true,connect:true", "connection events");

equal(c.sendRequest("1=logon|2=demo"), 0, "logon request sent");
check(waitFor(function () { return countOf("auth:") > 0; }, 10000), "logon response delivered");
equal(events[2], "auth:true|10000|Logon success", "authentication text");
check(waitFor(function () { return countOf("data:") >= 3; }, 10000), "feed messages delivered");
equal(c.sendRequest("1=quote|55=DEMO"), 0, "quote request sent");
check(waitFor(function () {
  for (var i = 0; i < events.length; i++) if (events[i] === "data:reply|1=quote|55=DEMO") return true;
  return false;
}, 10000), "reply delivered");

// "PROTOCOL|CIPHER|SUBJECT|NOTAFTER" of each connection.
var form = /^TLSv1\.[23]\|[^|<]+\|CN=localhost, O=Corvane Test\|\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/;
for (var connection = 1; connection <= 2; connection++) {
  var negotiated = c.getTransportSecurity(connection);
  check(form.test(negotiated), "connection " + connection + " negotiated " + negotiated);
}
equal(countOf("failure:") + countOf("maximum:") + countOf("disconnect:"), 0, "no failure events");
finish();
