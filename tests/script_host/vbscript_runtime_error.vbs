' A runtime error: reported with its line and column, exit code 1.
WScript.Echo "before"
x = 1 / 0
WScript.Echo "not reached"
