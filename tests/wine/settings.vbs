' VBScript: creation, settings (variables reach the component by reference),
' results. VBScript callbacks are not tested: its objects have no "call".
Option Explicit
Dim c, failures, n, flag, port
failures = 0

Sub Check(condition, what)
  If condition Then
    WScript.Echo "ok " & what
  Else
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

Set c = CreateObject("Corvane.ComponentMethods")
Call Check(IsObject(c), "created")
flag = True
c.setMultiOC flag
c.setCompression flag
c.setEncryption False
c.setTimerDetails 0, 1
c.setKeepAliveTimerDetail 2.5
n = c.getPacketCount()
Call Check(n = 0, "packet count " & n)
Call Check(c.getRequestCount() = 0, "request count")
' A number as the address is refused with -1.
n = c.SetServerDetails(5, 1, 2, 1)
Call Check(n = -1, "SetServerDetails refusal " & n)
' By-reference variables: a refused address in a variable is refused too.
port = CLng(WScript.Arguments(0))
flag = 12345
n = c.SetServerDetails(flag, port, 0, 1)
Call Check(n = -1, "refusal through a variable " & n)
' A string address connects.
flag = "127.0.0.1"
n = c.SetServerDetails(flag, port, 0, 1)
Call Check(n = 0, "SetServerDetails through variables " & n)
n = c.sendRequest("1=logon")
Call Check(n = 0, "sendRequest " & n)
Call Check(c.getRequestCount() = 1, "one request counted")
Call Check(IsNull(c.handleData) Or IsEmpty(c.handleData) Or (c.handleData Is Nothing), "no data callback")

If failures = 0 Then
  WScript.Echo "all checks passed"
Else
  WScript.Echo failures & " checks failed"
End If
WScript.Quit failures
