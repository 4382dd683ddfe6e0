// A bypass list names the server: the component connects directly although a
// proxy is enabled (the proxy's log must show no CONNECT).
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);
c.SetProxyCredentials("corvane", "s3cret");
recordAll(c);
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "SetServerDetails result");
equal(events.join(","), "connect:true", "connected");
c.sendRequest("1=logon|2=direct");
check(waitFor(function () { return countOf("auth:") === 1; }, 10000), "logon without the proxy");
equal(events[1], "auth:true|10000|Logon success", "authentication text");
finish();
