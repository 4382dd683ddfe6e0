// The proxy refuses the tunnel (wrong credentials): the attempt fails, as
// every attempt of the sequence does, and the script sees the failures and
// the maximum event, never "true".
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);
c.SetProxyCredentials("corvane", "wrong");
c.setTimerDetails(0, 1);  // two attempts
recordAll(c);
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "SetServerDetails result");
equal(events.join(","), "failure:1,failure:1,maximum:1", "every attempt refused by the proxy");
finish();
