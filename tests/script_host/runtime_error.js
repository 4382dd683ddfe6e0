WScript.Echo("before the error");

   undefinedObject.method();
WScript.Echo("not reached");
