' VBScript passes variables by reference: the host follows the references.
Dim n, s, i, arr(2), a, code
n = 20
s = "text"
i = 1
arr(0) = "zero"
WScript.Sleep n
WScript.Echo n, s, WScript.Arguments(i), arr(0)
Set a = WScript.Arguments
WScript.Echo a(i - 1), a.Item(i), a.Count
Call WScript.Echo("call form", n)
code = 12
WScript.Quit code
