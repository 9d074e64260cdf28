' A late-bound client of whatever registration the machine holds: the bridge
' reads the operating system's caption and the plug-in runs a check. Prints
' "all checks passed" when both work.
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

Dim access, server, caption, inst, plugin
' A class that is not registered leaves its variable Empty: nothing is
' called on it (a call with arguments on Nothing stops Wine's script host).
On Error Resume Next
Set access = CreateObject("QvWMI.Access")
Check Err.Number = 0, "CreateObject(""QvWMI.Access"") (" & Hex(Err.Number) & ")"
Err.Clear
If IsObject(access) Then
    access.Initialize
    Set server = access.Connect(".", "root\cimv2", , , , , CLng(60000))
    For Each inst In server.GetClass("Win32_OperatingSystem").Instances()
        caption = inst("Caption")
    Next
    Check InStr(caption, "Windows") > 0, "the bridge reads Win32_OperatingSystem.Caption (" & caption & ")"
    Err.Clear
End If

Set plugin = CreateObject("ostrel.WMICom")
Check Err.Number = 0, "CreateObject(""ostrel.WMICom"") (" & Hex(Err.Number) & ")"
Err.Clear
If IsObject(plugin) Then
    plugin.km_hostname = "."
    plugin.km_timeout = 30
    plugin.km_parameter = "#ENC=T#USR=#PWD=#NSP=root\cimv2#DOM=#LOC=#CLS=Win32_OperatingSystem#FIL=#PRO=Caption#PRI=-1#CWA=CON#CVA=Windows#AUL=4#IML=3#"
    Check plugin.km_docheck() = True And Err.Number = 0, "the plug-in's check holds (" & plugin.km_result & ")"
End If
On Error GoTo 0

Set server = Nothing
Set access = Nothing
Set plugin = Nothing
If failures = 0 Then WScript.Echo "all checks passed"
WScript.Quit failures
