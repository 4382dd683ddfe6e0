// Through a proxy that wants Negotiate (squid with negotiate_kerberos_auth in
// a private Kerberos realm): the script gives no password, only empty
// credentials, and Wine's SSPI answers the proxy's 407 with a Kerberos token
// from the host's ticket; the session runs through the tunnel.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);
c.SetProxyCredentials("-99", "-99");  // no password: integrated authentication only
recordAll(c);
// Address format 0: the proxy's name (localhost, which has the service
// principal) is resolved before connecting.
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 0), 0, "SetServerDetails result");
equal(events.join(","), "connect:true", "connected through the Negotiate proxy");
WScript.Sleep(500);
c.sendRequest("1=logon|2=through-negotiate");
check(waitFor(function () { return countOf("auth:") === 1; }, 10000), "logon through the tunnel");
equal(events[1], "auth:true|10000|Logon success", "authentication text");
finish();
