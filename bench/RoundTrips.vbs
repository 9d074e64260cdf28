' The same check as wmicheck's, through the platform's scripting API: the
' query an administrator would write, every instance's State read. Prints
' the milliseconds it took and the instances it saw.
' usage: cscript //nologo RoundTrips.vbs SERVER CLASS
Option Explicit
Dim locator, services, item, started, count, state
started = Timer
Set locator = CreateObject("WbemScripting.SWbemLocator")
Set services = locator.ConnectServer(WScript.Arguments(0), "root\cimv2")
count = 0
For Each item In services.ExecQuery("SELECT * FROM " & WScript.Arguments(1))
    state = item.Properties_.Item("State").Value
    count = count + 1
Next
WScript.Echo "instances=" & count & " ms=" & CLng((Timer - started) * 1000)
