// Run by scripts/deploy-case once the component is unregistered or
// uninstalled: creating it must fail by either ProgID (the class keys
// themselves are checked with reg query). Prints one line per ProgID; exits
// with the number of ProgIDs that still work.
var working = 0;

function mustFail(what, create) {
  try {
    create();
    working++;
    WScript.Echo("FAIL still created " + what);
  } catch (e) {
    WScript.Echo("ok not created " + what);
  }
}

mustFail("by Corvane.ComponentMethods", function () {
  return new ActiveXObject("Corvane.ComponentMethods");
});
mustFail("by Corvane.ComponentMethods.1", function () {
  return new ActiveXObject("Corvane.ComponentMethods.1");
});
WScript.Quit(working);
