// Callback rate under a saturating broadcast feed, against the same engine's
// plain function-call rate, in one run of corvane-script.exe
// (bench/wine-callback-rate runs it). Arguments: the back end's interactive
// and broadcast ports, then the seconds to measure the feed (default 3).
//
// The data callback and the plain calls run the same function with a text
// argument of a feed message's size, so the ratio is what delivering an
// event costs beyond the call itself. The feed is measured while the script
// waits in WScript.Sleep, as a page's script waits between its own work; then
// WScript.Sleep(2000) is timed under the same flood.
var host = "127.0.0.1";
var interactivePort = WScript.Arguments(0);
var broadcastPort = WScript.Arguments(1);
var seconds = WScript.Arguments.length > 2 ? parseInt(WScript.Arguments(2), 10) : 3;

function now() { return new Date().getTime(); }

var count = 0;
function handler(text) { count++; }

function plainRate(ms) {
  var text = "35=X|34=123456|55=SYM00001|270=101.25|271=300|60=123456789012";
  var calls = 0, start = now(), t;
  do {
    for (var i = 0; i < 10000; i++) handler(text);
    calls += 10000;
    t = now();
  } while (t - start < ms);
  return calls * 1000 / (t - start);
}

var plainBefore = plainRate(1000);

var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);
c.setCompression(false);
c.setEncryption(false);
var authenticated = 0;
c.handleAuthentication = function (text) { authenticated++; };
count = 0;
c.handleData = handler;
c.setOCDetails(host, interactivePort, host, broadcastPort, "", "");
var waitStart = now();
while (count < 20000 && now() - waitStart < 60000) WScript.Sleep(50);
if (count < 20000) {
  WScript.Echo("FAIL the feed did not start: " + count + " callbacks");
  WScript.Quit(1);
}

var before = count, start = now();
WScript.Sleep(seconds * 1000);
var elapsed = now() - start, delivered = count - before;
var callbackRate = delivered * 1000 / elapsed;

var sleepStart = now();
WScript.Sleep(2000);
var slept = now() - sleepStart;
var duringSleep = count - before - delivered;

var plainAfter = plainRate(1000);
var plain = (plainBefore + plainAfter) / 2;

WScript.Echo("plain calls/s            " + Math.round(plainBefore) + " before, " +
             Math.round(plainAfter) + " after");
WScript.Echo("callbacks/s              " + Math.round(callbackRate) + " (" + delivered +
             " in " + elapsed + " ms of Sleep)");
WScript.Echo("ratio callbacks/plain    " + (callbackRate / plain).toFixed(3));
WScript.Echo("Sleep(2000) took         " + slept + " ms (" + duringSleep +
             " callbacks meanwhile)");
WScript.Quit(0);
