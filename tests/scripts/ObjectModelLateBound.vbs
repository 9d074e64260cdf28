' The whole object model from a late-bound script: For Each over instances
' and over an instance's values, the default members, and the error object
' after failing calls.
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

Dim access, server, cls, props, instances, inst, value, count, valueCount, ns, timeout, direct
Set access = CreateObject("QvWMI.Access")
access.Initialize
ns = "root\cimv2"
timeout = CLng(60000)
Set server = access.Connect(".", ns, , , , , timeout)
Check server.NetworkPath = "\\.\root\cimv2", "a namespace passed in a variable connects (" & server.NetworkPath & ")"
Check server.User = "" And VarType(server.User) = vbString, "User reads as an empty string without a user name (a null BSTR)"

Set cls = server.GetClass("Win32_Service")
Check cls.ObjectPath = "Win32_Service", "ObjectPath is the class path"
Set props = cls.Properties
Check props("Name").Name = "Name", "props(""Name"") is the default member"
Check props.Count > 10, "Win32_Service lists its properties (" & props.Count & ")"

Set instances = cls.Instances("State = 'Running'")
count = 0
For Each inst In instances
    count = count + 1
    Check inst("State") = "Running", "inst(""State"") of " & inst("Name")
    valueCount = 0
    For Each value In inst
        valueCount = valueCount + 1
    Next
    Check valueCount = inst.Count, "For Each over an instance yields Count values (" & valueCount & ")"
Next
Check count = instances.Count And count > 0, "For Each over instances yields Count items (" & count & ")"
Check instances(0)("Name") = instances.Item(0).Field("Name"), "default members equal the named ones"
' The server's own query reads no class first and gives the same instances.
Set direct = server.Instances("Win32_Service", "State = 'Running'")
Check direct.Count = instances.Count, "server.Instances gives the class's instances (" & direct.Count & ")"

On Error Resume Next
Set cls = server.GetClass("")
Check Err.Number = &H80070057, "GetClass("""") fails with E_INVALIDARG (" & Hex(Err.Number) & ")"
Check Err.Source = "Tolvane's WMI checker", "Err.Source is the bridge's (" & Err.Source & ")"
Check InStr(Err.Description, "(ACTION: Server::GetClass) (CONTEXT: Argument 'bstrObjectPath' cannot be NULL or EMPTY.)") > 0, _
      "Err.Description: " & Err.Description
Err.Clear
value = props.GetAt(-1)
Check Err.Number = &H80070057, "GetAt(-1) fails with E_INVALIDARG (" & Hex(Err.Number) & ")"
Check InStr(Err.Description, "(ACTION: Collection::GetAt) (CONTEXT: Argument 'lIndex' is not within a valid range.)") > 0, _
      "Err.Description: " & Err.Description
Err.Clear
On Error GoTo 0

If failures = 0 Then
    WScript.Echo "all checks passed"
    WScript.Quit 0
Else
    WScript.Echo failures & " check(s) failed"
    WScript.Quit 1
End If
