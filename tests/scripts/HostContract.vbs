' The plug-in as the monitoring host's scripts see it: members, put and set,
' a check, and the errors a check raises to its host.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
    If condition Then
        WScript.Echo "ok   " & what
    Else
        WScript.Echo "FAIL " & what
        failures = failures + 1
    End If
End Sub

Dim plugin, verdict, token
Set plugin = CreateObject("ostrel.WMICom")
Check IsEmpty(plugin.km_hostname), "km_hostname starts Empty"
Check IsEmpty(plugin.km_timeout), "km_timeout starts Empty"
Check IsEmpty(plugin.km_parameter), "km_parameter starts Empty"
Check IsEmpty(plugin.km_result), "km_result starts Empty"

plugin.km_timeout = "10"
Check plugin.km_timeout = "10" And VarType(plugin.km_timeout) = vbString, "put keeps a text as text"
plugin.km_timeout = 10
Check plugin.km_timeout = 10 And VarType(plugin.km_timeout) = vbInteger, "put keeps a number as a number"

Set token = CreateObject("Scripting.Dictionary")
Set plugin.km_result = token
Check plugin.km_result Is token, "an object set by reference comes back as the same object"
token.Add "k", "v"
Check plugin.km_result.Item("k") = "v", "... and sees its changes"

' A real check against the local computer.
plugin.km_hostname = "."
plugin.km_timeout = 30
plugin.km_parameter = "#ENC=T#USR=#PWD=#NSP=root\cimv2#DOM=#LOC=#CLS=Win32_OperatingSystem#FIL=#PRO=Caption#PRI=-1#CWA=CON#CVA=Windows#AUL=4#IML=3#"
verdict = plugin.km_docheck()
Check verdict = True, "the operating system's caption contains Windows (" & plugin.km_result & ")"
Check Left(plugin.km_result, 8) = "Caption=", "km_result is the result text"

' Inputs that cannot be read raise an error to the host and leave km_result.
plugin.km_result = "kept"
Dim cases, i
cases = Array( _
    Array("a password whose base64 group begins with =", ".", "#PWD==abc#CLS=Win32_Service#PRO=State#"), _
    Array("a Null host name", Null, "#CLS=Win32_Service#PRO=State#"), _
    Array("a Null parameter string", ".", Null))
For i = 0 To UBound(cases)
    plugin.km_hostname = cases(i)(1)
    plugin.km_parameter = cases(i)(2)
    On Error Resume Next
    verdict = plugin.km_docheck()
    Check Err.Number <> 0, cases(i)(0) & " raises an error (" & Hex(Err.Number) & ")"
    Err.Clear
    On Error GoTo 0
    Check plugin.km_result = "kept", cases(i)(0) & " leaves km_result"
Next
Set plugin.km_parameter = token
On Error Resume Next
verdict = plugin.km_docheck()
Check Err.Number <> 0, "an object as parameter string raises an error (" & Hex(Err.Number) & ")"
On Error GoTo 0

If failures = 0 Then
    WScript.Echo "all checks passed"
    WScript.Quit 0
Else
    WScript.Echo failures & " check(s) failed"
    WScript.Quit 1
End If
