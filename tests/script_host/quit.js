// Quit(3): the exit code is 3 and nothing after the call runs.
WScript.Echo("before");
WScript.Quit(3);
WScript.Echo("after");
