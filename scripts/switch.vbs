' Sends one X10 command through VantrelCtrl, late-bound, as a home script would.
' usage: cscript //nologo switch.vbs PORT SWITCH VALUE CLOCKRATE RESETDURATION STANDBYDURATION
Option Explicit
Dim args, x10
Set args = WScript.Arguments
If args.Count <> 6 Then
    WScript.Echo "usage: switch.vbs PORT SWITCH VALUE CLOCKRATE RESETDURATION STANDBYDURATION"
    WScript.Quit 2
End If

On Error Resume Next
Set x10 = CreateObject("VantrelCtrl.CommAds")
If Err.Number <> 0 Then
    WScript.Echo "VantrelCtrl.CommAds cannot be created: " & Err.Description
    WScript.Quit 1
End If
x10.PortName = args(0)
x10.ClockRate = CLng(args(3))
x10.ResetDuration = CLng(args(4))
x10.StandByDuration = CLng(args(5))
If Err.Number = 0 Then x10.On(args(1)) = CLng(args(2))
If Err.Number <> 0 Then
    WScript.Echo Err.Source & ": " & Err.Description
    WScript.Quit 1
End If
Dim state
state = "OFF"
If CLng(args(2)) <> 0 Then state = "ON"
WScript.Echo "sent " & UCase(args(1)) & " " & state & " on " & args(0)
