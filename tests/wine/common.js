// Prepended to every JScript scenario by scripts/wine-scenario (error line numbers
// count these lines too). Arguments: the back end's interactive and broadcast
// ports on 127.0.0.1.
var host = "127.0.0.1";
var interactivePort = WScript.Arguments.length > 0 ? WScript.Arguments(0) : "0";
var broadcastPort = WScript.Arguments.length > 1 ? WScript.Arguments(1) : "0";
var failures = 0;

function check(condition, what) {
  if (condition) {
    WScript.Echo("ok " + what);
  } else {
    failures++;
    WScript.Echo("FAIL " + what);
  }
}

function equal(actual, expected, what) {
  check(actual === expected,
        what + ": " + actual + (actual === expected ? "" : " (expected " + expected + ")"));
}

// Pumps window messages until condition() holds, at most `ms` milliseconds;
// returns condition(). The bound only stops a broken run: conditions are
// events that the back end causes, not durations.
function waitFor(condition, ms) {
  for (var waited = 0; !condition() && waited < ms; waited += 20) WScript.Sleep(20);
  return condition();
}

// Records every callback as "name:text" in `events`, and checks that `this`
// is the component.
var events = [];
function recorder(component, name) {
  return function (text) {
    events.push(name + ":" + text);
    if (this !== component) {
      failures++;
      WScript.Echo("FAIL " + name + " called with another this");
    }
  };
}

function recordAll(component) {
  component.handleConnect = recorder(component, "connect");
  component.handleConnectionFailure = recorder(component, "failure");
  component.handleMaximumReConnection = recorder(component, "maximum");
  component.handleDisConnect = recorder(component, "disconnect");
  component.handleData = recorder(component, "data");
  component.handleAuthentication = recorder(component, "auth");
  component.handleBCDisConnect = recorder(component, "bcdisconnect");
}

function countOf(prefix) {
  var n = 0;
  for (var i = 0; i < events.length; i++) if (events[i].indexOf(prefix) === 0) n++;
  return n;
}

function finish() {
  WScript.Echo(failures === 0 ? "all checks passed" : failures + " checks failed");
  WScript.Quit(failures === 0 ? 0 : 1);
}
