// A feed faster than a slow page, conflated on the instrument (tag 55): every
// message is either delivered or counted as replaced, no instrument's values
// go backwards, and the last value of every instrument arrives. The member's
// argument rules first.
var c = new ActiveXObject("Corvane.ComponentMethods");
c.setMultiOC(1);
c.setCompression(false);  // booleans: off
c.setEncryption(false);
equal(c.getConflatedCount(), 0, "nothing replaced before the feed");
equal(c.setConflation("5x", 0), -1, "a tag that is not a number");
equal(c.setConflation(55, -1), -1, "a negative interval");
equal(c.setConflation(55, 2.5), -1, "an interval that is not a whole number");
equal(c.setConflation("55", 0), 0, "conflation on tag 55");
var sent = 20000, data = 0, backwards = 0, wrongThis = 0, last = {};
c.handleData = function (text) {
  if (this !== c) wrongThis++;
  data++;
  var key = /\|55=(\w+)\|/.exec(text)[1], n = parseInt(/\b34=(\d+)\|/.exec(text)[1], 10);
  if (last[key] !== undefined && n <= last[key]) backwards++;
  last[key] = n;
  // A page that takes about a millisecond per message.
  for (var t = new Date().getTime(); new Date().getTime() - t < 1;) {
  }
};
c.setOCDetails(host, interactivePort, host, broadcastPort, "", "");
check(waitFor(function () { return data + c.getConflatedCount() >= sent; }, 60000),
      "every message delivered or replaced");
equal(data + c.getConflatedCount(), sent, "delivered and replaced add up to the feed");
check(c.getConflatedCount() > 0, "messages replaced: " + c.getConflatedCount());
equal(backwards, 0, "no instrument's values go backwards");
var keys = 0;
for (var key in last) {
  keys++;
  check(last[key] >= sent - 8, key + " ends at its last value " + last[key]);
}
equal(keys, 8, "every instrument");
equal(wrongThis, 0, "callbacks with the component as this");
finish();
