// An uncaught exception thrown by the script is reported with its message.
function fail() {
  throw new Error("something went wrong");
}
WScript.Echo("start");
fail();
