' A syntax error: nothing runs, the error has a line and column, exit code 1.
WScript.Echo "not printed"
If True Then
  WScript.Echo "x"
