// Quit deep inside nested calls ends the whole script.
function inner(n) {
  if (n === 0) WScript.Quit(9);
  inner(n - 1);
  WScript.Echo("unwound", n);
}
WScript.Echo("start");
inner(5);
WScript.Echo("after");
