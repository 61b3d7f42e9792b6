' An online run of QV_INIT_V3.ctlInit_V3 started from VBScript with Startup
' and waited for, its events reaching handlers of a VBScript class through
' QvTest.ScriptEvents (script_events.cc); and a login the server refuses.
' Prints one line per case and, last, "RESULT ok" or "RESULT failed"; quits
' with the number of failed cases.
'
'   runs.vbs <server base address> <key> <user> <password>
Option Explicit

Dim failures, base, key, user, password, files, events, handlers, control, got, path
failures = 0
base = WScript.Arguments(0)
key = WScript.Arguments(1)
user = WScript.Arguments(2)
password = WScript.Arguments(3)
path = "C:\Program Files\Ostrel\Quillmark\Client\online.txt"

Sub Check(name, ok, detail)
  If ok Then
    WScript.Echo "ok   " & name & " (" & detail & ")"
  Else
    WScript.Echo "FAIL " & name & " (" & detail & ")"
    failures = failures + 1
  End If
End Sub

Class Handlers
  Public DoneCalls
  Public Sub Done
    DoneCalls = DoneCalls + 1
  End Sub
End Class

Set files = CreateObject("Scripting.FileSystemObject")
If files.FileExists(path) Then files.DeleteFile path
Set events = CreateObject("QvTest.ScriptEvents")
events.AnswerBoxes 1
Set handlers = New Handlers
handlers.DoneCalls = 0
Set control = CreateObject("QV_INIT_V3.ctlInit_V3")
events.Connect control, handlers

control.Startup base & "/", base & "/bo", key, user, password, "", False
got = events.Wait(60)
Check "the online run ends with Done", got = "Done", "events '" & got & "'"
Check "the class's Done handler ran once", handlers.DoneCalls = 1, handlers.DoneCalls & " calls"
Check "the served file is installed", files.FileExists(path), path

On Error Resume Next
control.Startup base & "/", base & "/bo", key, user, "not " & password, "", False
Check "a refused login is raised as error 20", Err.Number = 20 And Err.Source = "Login Check", _
      "number " & Err.Number & ", " & Err.Source & ": " & Err.Description
Err.Clear
On Error GoTo 0
got = events.Wait(2)
Check "and ends no run", got = "", "events '" & got & "'"
Check "no dialog was shown", events.Boxes() = "", events.Boxes()

If failures = 0 Then
  WScript.Echo "RESULT ok"
Else
  WScript.Echo "RESULT failed"
End If
WScript.Quit failures
