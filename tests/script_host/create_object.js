// Objects by ProgID: the engine's own ActiveXObject (allowed by the host's
// site) and WScript.CreateObject.
var a = new ActiveXObject("Scripting.Dictionary");
a.Add("key", "value");
WScript.Echo("ActiveXObject", a.Count, a.Item("key"));
var b = WScript.CreateObject("Scripting.Dictionary");
b.Add(1, "one");
b.Add(2, "two");
WScript.Echo("CreateObject", b.Count, b.Exists(2));
try {
  WScript.CreateObject("Corvane.NoSuchObject");
  WScript.Echo("no error");
} catch (e) {
  WScript.Echo("error:", e.message);
}
try {
  new ActiveXObject("Corvane.NoSuchObject");
  WScript.Echo("no error");
} catch (e) {
  WScript.Echo("ActiveXObject failed");
}
