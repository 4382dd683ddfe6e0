// The other side of the flags' rule: a number or a string turns a flag on,
// and setMultiOC resets both codec flags to on, so settings made before it
// are lost. The broadcast feed starts at connection with a logon response,
// compressed and encrypted (the fixed key, then the session key the logon
// response gives), before any request: it is readable only if both flags are
// on.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setCompression(false);    // lost: setMultiOC runs the reset
c.setEncryption(false);     // lost too
c.setMultiOC("yes");        // a string: on
c.setEncryption(1);         // a number: on
recordAll(c);
c.setOCDetails(host, interactivePort, host, broadcastPort, "", "");
equal(events.join(","), "connect:true,connect:true", "both connections made");
check(waitFor(function () { return countOf("auth:") > 0 && countOf("data:") >= 3; }, 10000),
      "coded logon and feed delivered");
equal(events[2], "auth:true|10000|Logon success", "logon decoded");
var text = "";
for (var i = 0; i < events.length; i++) {
  if (events[i].indexOf("data:") === 0) { text = events[i]; break; }
}
check(/\b34=\d+\|/.test(text), "feed message decoded: " + text);
finish();
