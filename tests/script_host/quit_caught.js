// A script that catches the stop of Quit still ends, with Quit's code.
try {
  WScript.Quit(4);
} catch (e) {
  WScript.Echo("caught");
}
WScript.Echo("after");
