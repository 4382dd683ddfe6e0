WScript.Echo("a syntax error stops the script before it runs");
var x = ;
