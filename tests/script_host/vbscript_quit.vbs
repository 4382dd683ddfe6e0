' Quit 7 ends the script with exit code 7, even under On Error Resume Next.
On Error Resume Next
WScript.Echo "before"
WScript.Quit 7
WScript.Echo "after"
