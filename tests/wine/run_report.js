// Starts one run of QV_INIT_V3.ctlInit_V3 and reports what it did, for a
// comparison with the same run on the Linux build: the events in order
// ("events=Init,Done"), then each dialog answered ("box=<caption>: <text>",
// carriage returns as "\r"). QvTest.ScriptEvents (script_events.cc) hears
// the events, pumps the thread's messages and answers every dialog with the
// given button. Last line "RESULT ok", or "RESULT failed" when a start-up
// raised an error (printed as "error=<number> <source>: <description>").
//
//   run_report.js <seconds> <button> StartupV2 <download> <server> <key> <user> <password>
//   run_report.js <seconds> <button> StartupLocal <folder>
var args = WScript.Arguments;
var events = new ActiveXObject("QvTest.ScriptEvents");
events.AnswerBoxes(Number(args(1)));
var control = new ActiveXObject("QV_INIT_V3.ctlInit_V3");
events.Connect(control);
var failed = false;
try {
  if (args(2) == "StartupLocal") {
    control.StartupLocal(args(3));
  } else {
    control.StartupV2(args(3), args(4), args(5), args(6), args(7), "", false);
  }
} catch (e) {
  WScript.Echo("error=" + e.number + " " + e.source + ": " + e.description);
  failed = true;
}
WScript.Echo("events=" + events.Wait(Number(args(0))));
var boxes = events.Boxes();
if (boxes != "") {
  var each = boxes.split("|");
  for (var i = 0; i < each.length; i++) WScript.Echo("box=" + each[i].replace(/\r\n|\r/g, "\\r"));
}
WScript.Echo("RESULT " + (failed ? "failed" : "ok"));
WScript.Quit(failed ? 1 : 0);
