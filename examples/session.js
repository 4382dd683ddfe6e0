// A session the way a page runs one, for corvane-script.exe:
//
//   corvane-script.exe session.js HOST INTERACTIVE_PORT BROADCAST_PORT [SECONDS]
//
// Start the sandbox back end first (corvane-backend), then run this. Every
// callback receives the component as `this` and the event text as its argument.

var host = WScript.Arguments.length > 0 ? WScript.Arguments(0) : "127.0.0.1";
var interactivePort = WScript.Arguments.length > 1 ? WScript.Arguments(1) : "9001";
var broadcastPort = WScript.Arguments.length > 2 ? WScript.Arguments(2) : "9002";
var seconds = WScript.Arguments.length > 3 ? parseInt(WScript.Arguments(3), 10) : 3;

var corvane = new ActiveXObject("Corvane.ComponentMethods");

// setMultiOC first: it resets every other setting. A boolean argument turns a
// flag off whatever its value (true included), so "on" is written as the number 1.
corvane.setMultiOC(1);
// Plain traffic. (sendRequest switches both codec flags off on every call,
// so a session that sends requests reads plain traffic from then on anyway.)
corvane.setCompression(false);
corvane.setEncryption(false);
corvane.setTimerDetails(1000, 2);        // reconnection pause (ms), further attempts
corvane.setKeepAliveTimerDetail(30000);

// Callback properties take objects with a "call" member: script functions do.
corvane.handleConnect = function (text) { WScript.Echo("connect " + text); };
corvane.handleConnectionFailure = function (text) { WScript.Echo("connection-failure " + text); };
corvane.handleMaximumReConnection = function (text) { WScript.Echo("maximum-reconnection " + text); };
corvane.handleDisConnect = function (text) { WScript.Echo("disconnect " + text); };
corvane.handleAuthentication = function (text) {
  // true|CODE|STATUS, e.g. true|10000|Logon success
  var fields = text.split("|");
  WScript.Echo("authentication " + text + (fields[1] === "10000" ? " (logged on)" : ""));
};
corvane.handleData = function (text) { WScript.Echo("data " + text); };

// Both endpoints as strings; this connects at once and fires the connection
// callbacks before it returns.
corvane.setOCDetails(host, interactivePort, host, broadcastPort, "", "");

// The logon request. Requests always leave as plain HTTP GETs.
var sent = corvane.sendRequest("1=logon|2=demo|3=secret");
WScript.Echo("logon request sent: " + (sent === 0));
corvane.startKeepAlive("");

// Received messages arrive through posted window messages: Sleep pumps them.
WScript.Sleep(seconds * 1000);
corvane.sendRequest("1=quote|55=DEMO");
WScript.Sleep(500);

WScript.Echo("packets " + corvane.getPacketCount());
WScript.Echo("requests " + corvane.getRequestCount());
