' VBScript: Echo, Arguments, CreateObject and case-insensitive names.
WScript.Echo "hello from", "VBScript"
WScript.Echo 42, 1.5, True, -7
wscript.echo "lower case names work"
WScript.Echo "count", WScript.Arguments.Count, "length", WScript.Arguments.length
WScript.Echo "first", WScript.Arguments(0), "second", WScript.Arguments.Item(1)
Dim a
For Each a In WScript.Arguments
  WScript.Echo "each [" & a & "]"
Next
Dim d
Set d = CreateObject("Scripting.Dictionary")
d.Add "k", "v"
Set e = WScript.CreateObject("Scripting.Dictionary")
e.Add "x", 1
WScript.Echo "dictionaries", d("k"), e.Count
WScript.Echo WScript.ScriptName
WScript.Echo
WScript.Echo "done"
