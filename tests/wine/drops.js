// The back end drops both connections three times each, by close (FIN), reset
// (RST) and restart (the port refuses connections for 3 s, then listens
// again): every drop is reported at once with "false" (handleBCDisConnect for
// the broadcast connection, handleDisConnect for the interactive one), the
// component connects again by itself ("true"; refused attempts in between
// report "1" or "2"), and after every broadcast drop the feed resumes, its
// numbers (tag 34) still rising.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);  // not a boolean: a VT_BOOL turns the flag off
c.setCompression(false);
c.setEncryption(false);
// 50 ms between attempts, and enough of them to outlast a restart.
c.setTimerDetails(50, 100);
recordAll(c);
c.setOCDetails(host, interactivePort, host, broadcastPort, "", "");

function dataAfterLast(prefix) {
  var last = -1;
  for (var i = 0; i < events.length; i++) if (events[i] === prefix) last = i;
  if (last < 0) return false;
  for (var j = last + 1; j < events.length; j++) {
    if (events[j].indexOf("data:35=X|34=") === 0) return true;
  }
  return false;
}

check(waitFor(function () {
  return countOf("bcdisconnect:false") >= 3 && countOf("disconnect:false") >= 3 &&
      dataAfterLast("bcdisconnect:false");
}, 60000), "three drops of each connection, and the feed after the last");
equal(countOf("bcdisconnect:"), countOf("bcdisconnect:false"), "broadcast drops report \"false\"");
equal(countOf("disconnect:"), countOf("disconnect:false"), "interactive drops report \"false\"");
equal(countOf("maximum:"), 0, "the attempts never ran out");

// Feed data before every broadcast drop after the first connection, and
// numbers that only rise.
var dataSinceBroadcastDrop = true, previous = -1, rising = true;
for (var i = 0; i < events.length; i++) {
  var e = events[i];
  if (e === "bcdisconnect:false") {
    check(dataSinceBroadcastDrop, "feed data before the broadcast drop at event " + i);
    dataSinceBroadcastDrop = false;
  } else if (e.indexOf("data:35=X|34=") === 0) {
    dataSinceBroadcastDrop = true;
    var n = parseInt(e.substring(13), 10);
    if (n <= previous) rising = false;
    previous = n;
  }
}
check(waitFor(function () {
  return countOf("connect:true") >= 2 + countOf("bcdisconnect:false") +
      countOf("disconnect:false");
}, 30000), "a new connection after every drop: " + countOf("connect:true") + " connections");
check(rising, "feed numbers rise across the drops (last " + previous + ")");
check(countOf("failure:1") > 0 && countOf("failure:2") > 0,
      "attempts refused while the ports restarted: " +
      countOf("failure:1") + " interactive, " + countOf("failure:2") + " broadcast");
// The longest pause in the feed (tag 60: the back end's clock when it made
// the message), which the restart's refusal makes at least 3 s.
var longest = 0, last = 0;
for (var k = 0; k < events.length; k++) {
  var m = /^data:35=X\|34=\d+\|.*\|60=(\d+)/.exec(events[k]);
  if (!m) continue;
  var stamp = parseFloat(m[1]);
  if (last > 0 && stamp - last > longest) longest = stamp - last;
  last = stamp;
}
WScript.Echo("longest pause in the feed: " + Math.round(longest / 1e6) + " ms");
c = null;
CollectGarbage();
finish();
