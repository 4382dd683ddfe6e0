// ScriptName is the file name; ScriptFullName the absolute path.
WScript.Echo(WScript.ScriptName);
var full = WScript.ScriptFullName;
WScript.Echo(full.length > WScript.ScriptName.length, full.slice(-WScript.ScriptName.length));
WScript.Echo(/^[A-Za-z]:\\/.test(full));
