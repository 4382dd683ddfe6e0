// Quit() without a code ends the script with exit code 0.
WScript.Echo("before");
WScript.Quit();
WScript.Echo("after");
