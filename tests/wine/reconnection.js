// Connection failures against refused ports: the events and their order, and
// setTimerDetails' rule that both arguments must be 32-bit integers.
function failuresWith(setup) {
  var c = new ActiveXObject("Corvane.ComponentMethods");
  c.setMultiOC(false);
  setup(c);
  events = [];
  recordAll(c);
  equal(c.SetServerDetails(host, parseInt(interactivePort, 10), 0, 1), 0,
        "SetServerDetails result");
  var n = countOf("failure:");
  check(n > 0 && events[events.length - 1] === "maximum:1",
        "failures then the maximum event: " + events.join(","));
  for (var i = 0; i < events.length - 1; i++) {
    if (events[i] !== "failure:1") check(false, "unexpected event " + events[i]);
  }
  return n;
}

var one = failuresWith(function (c) { c.setTimerDetails(0, 1); });
var three = failuresWith(function (c) { c.setTimerDetails(0, 3); });
check(three > one, "more attempts allowed give more failures: " + one + " then " + three);
// A string count (even a numeric one) changes neither value.
var ignored = failuresWith(function (c) {
  c.setTimerDetails(0, 1);
  c.setTimerDetails(500, "3");
});
equal(ignored, one, "setTimerDetails(500, \"3\") changes nothing");
// A fractional number is not a 32-bit integer either.
var fractional = failuresWith(function (c) {
  c.setTimerDetails(0, 1);
  c.setTimerDetails(0, 2.5);
});
equal(fractional, one, "setTimerDetails(0, 2.5) changes nothing");
// setMultiOC after setTimerDetails resets the count.
var reset = failuresWith(function (c) {
  c.setTimerDetails(0, 3);
  c.setMultiOC(false);
});
var none = failuresWith(function (c) {});
equal(reset, none, "setMultiOC resets the reconnection count");
finish();
