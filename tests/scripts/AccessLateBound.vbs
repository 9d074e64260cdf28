' The access object from a late-bound script client: created by both
' ProgIDs, its properties read and written through the type library.
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

Dim progId, a, b
For Each progId In Array("QvWMI.Access", "QvWMI.Access.1")
    Set a = CreateObject(progId)
    Check a.Timeout = 120000, progId & ": Timeout defaults to 120000"
    Check a.ImpersonationLevel = 0, progId & ": ImpersonationLevel defaults to 0"
    Check a.AuthenticationLevel = 0, progId & ": AuthenticationLevel defaults to 0"
    a.Timeout = -1
    Check a.Timeout = -1, progId & ": Timeout -1 round-trips"
    a.Timeout = 5000
    Check a.Timeout = 5000, progId & ": Timeout 5000 round-trips"
    Check TypeName(a) = "IQvWMIAccess2", progId & ": TypeName is the interface (" & TypeName(a) & ")"
Next

Set a = CreateObject("QvWMI.Access")
Set b = CreateObject("QvWMI.Access")
a.ImpersonationLevel = 3
a.AuthenticationLevel = 4
Check b.ImpersonationLevel = 3, "levels are shared between objects"
Check b.AuthenticationLevel = 4, "authentication level is shared between objects"

Check a.AuthenticationService = 0, "AuthenticationService defaults to NTLM (0)"
a.AuthenticationService = 2
Check a.AuthenticationService = 2 And b.AuthenticationService = 0, "AuthenticationService is the object's own"

On Error Resume Next
a.AuthenticationService = 3
Check Err.Number = &H80070057 And InStr(Err.Description, "eService") > 0, _
    "AuthenticationService 3 is refused (" & Hex(Err.Number) & " " & Err.Description & ")"
Err.Clear
Check a.AuthenticationService = 2, "a refused AuthenticationService leaves the service as it was"
a.Initialize
Check Err.Number = 0, "Initialize succeeds (" & Hex(Err.Number) & " " & Err.Description & ")"
Err.Clear
a.Initialize
Check Err.Number = 0, "Initialize succeeds again"
Err.Clear
a.NoSuchMember
Check Err.Number = 438, "an unknown member is refused (" & Err.Number & ")"
On Error GoTo 0

If failures = 0 Then
    WScript.Echo "all checks passed"
    WScript.Quit 0
Else
    WScript.Echo failures & " check(s) failed"
    WScript.Quit 1
End If
