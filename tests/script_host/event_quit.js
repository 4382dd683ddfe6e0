// Quit in an event handler that runs during Sleep ends the script with its
// code. Argument 0: the loopback HTTP server's URL.
var request = new ActiveXObject("Msxml2.XMLHTTP");
request.onreadystatechange = function () {
  if (request.readyState == 4) {
    WScript.Echo("in handler");
    WScript.Quit(6);
  }
};
request.open("GET", WScript.Arguments(0) + "/" + WScript.ScriptName, true);
request.send();
for (var i = 0; i < 2000; i++) WScript.Sleep(10);
WScript.Echo("not reached");
