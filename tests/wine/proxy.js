// Through the user's proxy: the prefix's Internet Settings name tinyproxy,
// which wants Basic authentication; the component sends CONNECT with the
// credentials and the session runs through the tunnel.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);  // a boolean: one connection only
// The proxy's address given here is not used: it always comes from the
// registry.
c.setProxyServerDetails("192.0.2.1", 1, "corvane", "s3cret");
recordAll(c);
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "SetServerDetails result");
equal(events.join(","), "connect:true", "connected through the proxy");
// As on a page, time passes before the first request: the proxy's answer
// arrives while the codec flags still hold their reset values (on).
WScript.Sleep(500);
c.sendRequest("1=logon|2=through-proxy");
check(waitFor(function () { return countOf("auth:") === 1; }, 10000), "logon through the tunnel");
equal(events[1], "auth:true|10000|Logon success", "authentication text");
c.sendRequest("1=quote");
check(waitFor(function () {
  for (var i = 0; i < events.length; i++) if (events[i] === "data:reply|1=quote") return true;
  return false;
}, 10000), "reply through the tunnel");
finish();
