' Creates the bridge's access object by its ProgID, prints its defaults and
' initialises COM security and the WMI locator.
Option Explicit
Dim access
Set access = CreateObject("QvWMI.Access")
WScript.Echo "Created QvWMI.Access"
WScript.Echo "  Timeout             = " & access.Timeout & " ms"
WScript.Echo "  ImpersonationLevel  = " & access.ImpersonationLevel
WScript.Echo "  AuthenticationLevel = " & access.AuthenticationLevel
access.ImpersonationLevel = 3
access.AuthenticationLevel = 4
access.Timeout = 30000
access.Initialize
WScript.Echo "Initialize succeeded with Packet authentication and Impersonate impersonation, Timeout " & access.Timeout & " ms"
