// Automatic configuration: "AutoConfigURL" names a PAC file served from
// loopback, which WinHTTP evaluates for the server; its answer names tinyproxy
// (the manual "ProxyServer" names a dead port and must not be used).
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);
c.SetProxyCredentials("corvane", "s3cret");
recordAll(c);
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "SetServerDetails result");
equal(events.join(","), "connect:true", "connected through the PAC file's proxy");
c.sendRequest("1=logon|2=through-pac");
check(waitFor(function () { return countOf("auth:") === 1; }, 10000), "logon through the tunnel");
equal(events[1], "auth:true|10000|Logon success", "authentication text");
finish();
