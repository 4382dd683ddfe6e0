// The script-driven path through the user's proxy: ConnectToServer connects
// to the proxy the registry names, SendConnect sends the CONNECT request with
// the credentials, ReceiveData reads the proxy's answer. The back end refuses
// the interactive port, so the first, direct attempt only stores the
// endpoints (no reader thread competes for the socket), and the proxy's
// answer to the CONNECT is its failure page: an HTTP answer all the same,
// and not 407, so the credentials were taken.
var settings = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";
var shell = WScript.CreateObject("WScript.Shell");
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(false);
c.SetProxyCredentials("corvane", "s3cret");
recordAll(c);

shell.RegWrite(settings + "ProxyEnable", 0, "REG_DWORD");
equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0, "SetServerDetails");
equal(events.join(","), "failure:1,maximum:1", "the direct attempt is refused");

shell.RegWrite(settings + "ProxyEnable", 1, "REG_DWORD");
equal(c.ConnectToServer(), 0, "ConnectToServer reaches the proxy");
equal(c.SendConnect(), 0, "SendConnect");
var answer = "";
check(waitFor(function () {
  answer += c.ReceiveData();
  return /\r\n\r\n/.test(answer);
}, 10000), "the proxy answered");
var status = answer.split("\r\n")[0];
check(/^HTTP\/1\.[01] \d\d\d/.test(status) && !/ 407/.test(status), "proxy status: " + status);
// The proxy closes the connection after its failure page: ReceiveData still
// answers with text.
equal(typeof c.ReceiveData(), "string", "ReceiveData after the proxy closed");
// Sending on the connection the proxy has closed fails (the first send after
// the close may still be accepted by the system): SendConnect then fails the
// call with the HRESULT 0xFFFFFFFF, which a script sees as error number -1.
var number = 0;
for (var attempt = 0; attempt < 50 && number === 0; attempt++) {
  try {
    c.SendConnect();
    WScript.Sleep(20);
  } catch (e) {
    number = e.number;
  }
}
equal(number, -1, "SendConnect on a closed connection: error number");
finish();
