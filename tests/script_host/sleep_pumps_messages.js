// Sleep dispatches posted window messages: an asynchronous XMLHTTP request
// makes progress (and calls its handler on this thread) only through messages
// posted to a hidden window, so it completes only while Sleep pumps them.
// Argument 0: a URL of a loopback HTTP server that serves this folder.
var url = WScript.Arguments(0) + "/" + WScript.ScriptName;
var request = new ActiveXObject("Msxml2.XMLHTTP");
var states = [];
request.onreadystatechange = function () {
  states.push(request.readyState);
};
request.open("GET", url, true);
request.send();
for (var i = 0; i < 2000 && request.readyState != 4; i++) WScript.Sleep(10);
WScript.Echo("readyState", request.readyState, "status", request.status);
WScript.Echo("handler saw 4:", states[states.length - 1] === 4);
WScript.Echo("got this file:", request.responseText.indexOf("MARKER-7f3a") >= 0);
