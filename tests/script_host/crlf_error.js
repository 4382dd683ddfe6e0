// Windows line ends: lines and columns are counted the same way.
WScript.Echo("crlf");

  missingThing.x = 1;
