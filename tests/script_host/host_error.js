// A failing WScript call raises a script error that the script may catch;
// uncaught, it is reported like any other.
try {
  WScript.Sleep("not a number");
} catch (e) {
  WScript.Echo("caught:", e.message);
}
WScript.Arguments(0);
