// A UTF-8 file with a byte order mark; Echo writes UTF-8 into a file.
WScript.Echo("héllo wörld €", "\u65e5\u672c");
WScript.Echo(WScript.Arguments(0));
