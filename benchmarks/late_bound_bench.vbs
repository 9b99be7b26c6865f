' 100,000 late-bound property reads from VBScript: CommAds.ClockRate against a trusted
' automation object of the platform, Scripting.Dictionary.Count. Prints figures only.
Option Explicit
Const reads = 100000
Dim x10, dict, i, v, t0, ours, theirs
Set x10 = CreateObject("VantrelCtrl.CommAds")
Set dict = CreateObject("Scripting.Dictionary")

' Warm both up, then alternate the measurements so that both see the same machine.
For i = 1 To 1000 : v = x10.ClockRate : v = dict.Count : Next
ours = 0 : theirs = 0
Dim round
For round = 1 To 3
    t0 = Timer
    For i = 1 To reads : v = x10.ClockRate : Next
    ours = ours + (Timer - t0)
    t0 = Timer
    For i = 1 To reads : v = dict.Count : Next
    theirs = theirs + (Timer - t0)
Next
WScript.Echo "VBScript, 3 x " & reads & " reads: CommAds.ClockRate " & FormatNumber(ours * 1000 / 3, 1) & " ms, " & _
    "Scripting.Dictionary.Count " & FormatNumber(theirs * 1000 / 3, 1) & " ms, ratio " & _
    FormatNumber(ours / theirs, 2) & " (target <= 1.0)"
