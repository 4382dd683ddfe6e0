// A per-protocol "ProxyServer" list as Internet Settings writes it when one
// proxy per protocol is configured: the http= entry (tinyproxy) serves the
// component; the ftp=, socks= and https= entries (dead ports) are not used.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);
c.SetProxyCredentials("corvane", "s3cret");
recordAll(c);
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "SetServerDetails result");
equal(events.join(","), "connect:true", "connected through the http= proxy");
c.sendRequest("1=logon|2=through-proxy");
check(waitFor(function () { return countOf("auth:") === 1; }, 10000), "logon through the tunnel");
equal(events[1], "auth:true|10000|Logon success", "authentication text");
finish();
