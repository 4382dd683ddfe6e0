// Not UTF-8: the bytes are read in the ANSI code page (1252 here).
WScript.Echo("café");
