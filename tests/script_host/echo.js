// WScript.Echo: arguments separated by one space, one line per call.
WScript.Echo("hello");
WScript.Echo("two", "words");
WScript.Echo(42, -7, 1.5, 0.25, 2147483648);
WScript.Echo("mixed", 3, "and", 4.75);
WScript.Echo();
WScript.Echo("");
WScript.Echo("a" + 1 + 2, 1 + 2 + "b");
WScript.Echo(true, false);
WScript.Echo("undefined:", undefined, "null:", null);
WScript.Echo([1, 2, 3], { toString: function () { return "custom"; } });
WScript.echo("names are case-insensitive");
WScript.Echo("last line");
