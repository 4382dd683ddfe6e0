// WScript.Arguments: the arguments after the script file.
var args = WScript.Arguments;
WScript.Echo("length", args.length, "Count", args.Count(), "Count prop", args.Count);
WScript.Echo("call", WScript.Arguments(0), WScript.Arguments(1), WScript.Arguments(2));
WScript.Echo("Item", args.Item(0), args.item(2));
WScript.Echo("default", args(1));
for (var i = 0; i < args.length; i++) WScript.Echo(i, "[" + args(i) + "]");
var e = new Enumerator(args);
var all = [];
for (; !e.atEnd(); e.moveNext()) all.push(e.item());
WScript.Echo("enumerated", all.join("|"));
try {
  WScript.Arguments(3);
  WScript.Echo("no error");
} catch (err) {
  WScript.Echo("out of range:", err.message);
}
try {
  args(-1);
  WScript.Echo("no error");
} catch (err) {
  WScript.Echo("negative:", err.message);
}
