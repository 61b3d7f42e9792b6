' Drives QV_INIT_V3.ctlInit_V3 by name from VBScript: creation with
' CreateObject, the methods, the errors they raise as Err, and a member the
' control lacks. Prints one line per case and, last, "RESULT ok" or
' "RESULT failed"; quits with the number of failed cases.
'
'   control.vbs <folder with an install list> <address where no server listens>
Option Explicit

Const kNoServer = &H80072EFD
Const kNoMember = 438
Dim failures, control, value, folder, nowhere
failures = 0
folder = WScript.Arguments(0)
nowhere = WScript.Arguments(1)

Sub Check(name, ok, detail)
  If ok Then
    WScript.Echo "ok   " & name & " (" & detail & ")"
  Else
    WScript.Echo "FAIL " & name & " (" & detail & ")"
    failures = failures + 1
  End If
End Sub

' Checks the error the last statement left: expected 0 for none.
Sub CheckErr(name, expected, part)
  Dim ok
  ok = (Err.Number = expected)
  If ok And part <> "" Then ok = (InStr(Err.Description, part) > 0)
  Check name, ok, "number " & Err.Number & ", " & Err.Source & ": " & Err.Description
  Err.Clear
End Sub

On Error Resume Next
Set control = CreateObject("QV_INIT_V3.ctlInit_V3")
CheckErr "created by ProgID", 0, ""
' Its type is the dispatch interface of the embedded type library.
Check "the object is the control", TypeName(control) = "_ctlInit_V3", TypeName(control)

control.Startup nowhere & "/dl", nowhere, "K", "user", "pw", "", False
CheckErr "Startup with no server to log in to", kNoServer, "could not be reached"
' A number where text or a truth value is asked for is converted.
control.StartupV2 nowhere & "/dl", nowhere, "K", 7, "pw", "", 1
CheckErr "StartupV2 with no server to log in to", kNoServer, "could not be reached"
control.CancelXfer
CheckErr "CancelXfer with nothing to cancel", 0, ""
control.StartupLocal folder
CheckErr "StartupLocal of a folder with a list starts its run", 0, ""

value = control.Version
CheckErr "reading a property the control lacks", kNoMember, ""
control.Version = "3"
CheckErr "setting a property the control lacks", kNoMember, ""
control.Uninstall
CheckErr "calling a method the control lacks", kNoMember, ""

Set control = Nothing
CheckErr "released", 0, ""

If failures = 0 Then
  WScript.Echo "RESULT ok"
Else
  WScript.Echo "RESULT failed"
End If
WScript.Quit failures
