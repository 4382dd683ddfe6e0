// No arguments after the script file.
WScript.Echo(WScript.Arguments.length, WScript.Arguments.Count());
