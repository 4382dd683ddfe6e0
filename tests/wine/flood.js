// A broadcast feed faster than script can take: WScript.Sleep still returns,
// the feed goes on being delivered during the wait and after it, in order and
// on the script's thread. Bounds are generous: this proves the behaviour, it
// does not time it.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);
c.setCompression(false);  // booleans: off
c.setEncryption(false);
var auth = 0, data = 0, last = -1, gaps = 0, wrongThis = 0;
c.handleAuthentication = function (text) { auth++; };
c.handleData = function (text) {
  if (this !== c) wrongThis++;
  data++;
  var m = /\b34=(\d+)\|/.exec(text);
  if (m) {
    var n = parseInt(m[1], 10);
    if (last >= 0 && n !== last + 1) gaps++;
    last = n;
  }
};
c.setOCDetails(host, interactivePort, host, broadcastPort, "", "");
check(waitFor(function () { return data >= 2000; }, 60000), "the flood is being delivered");

var before = data;
var start = new Date().getTime();
WScript.Sleep(300);
var slept = new Date().getTime() - start;
check(slept >= 250 && slept < 30000, "Sleep(300) during the flood returned after " + slept + " ms");
check(data > before, "delivered during the Sleep: " + (data - before));

for (var round = 0; round < 3; round++) {
  var mark = data;
  WScript.Sleep(100);
  check(data > mark, "still delivered after " + (round + 1) + " more short sleeps");
}
equal(auth, 1, "one logon response");
equal(gaps, 0, "feed messages in order without gaps");
equal(wrongThis, 0, "callbacks with the component as this");
finish();
