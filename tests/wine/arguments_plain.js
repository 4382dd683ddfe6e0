// The flags' argument rule as a script sees it: a boolean turns a flag off,
// whatever its value. The broadcast feed starts at connection with a logon
// response, in plain framing, before any request (a request would switch the
// codec flags off by itself): it is readable only if compression and
// encryption are really off.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);            // a number: on
c.setCompression(true);     // a boolean, even true: off
c.setEncryption(false);     // a boolean: off
recordAll(c);
c.setOCDetails(host, interactivePort, host, broadcastPort, "", "");
equal(events.join(","), "connect:true,connect:true", "both connections made");
check(waitFor(function () { return countOf("auth:") > 0 && countOf("data:") >= 3; }, 10000),
      "plain logon and feed delivered");
var text = "";
for (var i = 0; i < events.length; i++) {
  if (events[i].indexOf("data:") === 0) { text = events[i]; break; }
}
check(/\b34=\d+\|/.test(text), "feed message readable: " + text);
finish();
