// Drives QV_INIT_V3.ctlInit_V3 by name from JScript: creation by ProgID, the
// methods with their arguments and the errors they raise. Prints one
// line per case and, last, "RESULT ok" or "RESULT failed"; quits with the
// number of failed cases.
//
//   control.js <folder with an install list> <address where no server listens>
var kNoServer = -2147012867;     // 0x80072EFD: the server cannot be reached
var kNoMember = -2146827850;     // 0x800A01B6: no such property or method
var kWrongCount = -2147352562;   // 0x8002000E: wrong number of arguments
var failures = 0;
var folder = WScript.Arguments(0);
var nowhere = WScript.Arguments(1);

function check(name, ok, detail) {
  WScript.Echo((ok ? "ok   " : "FAIL ") + name + (detail ? " (" + detail + ")" : ""));
  if (!ok) failures++;
}

// Runs body; returns the error it raised, or null.
function raised(body) {
  try {
    body();
    return null;
  } catch (e) {
    return e;
  }
}

var control = new ActiveXObject("QV_INIT_V3.ctlInit_V3");
check("created by ProgID", typeof control == "object");

var cases = [
  // [name, call, expected error number or null for none, description part]
  ["Startup with no server to log in to", function () {
     control.Startup(nowhere + "/dl", nowhere, "K", "user", "pw", "", false);
   }, kNoServer, "could not be reached"],
  ["StartupV2 with no server to log in to", function () {
     control.StartupV2(nowhere + "/dl", nowhere, "K", "user", "pw", "", true);
   }, kNoServer, "could not be reached"],
  ["StartupLocal of a folder with a list starts its run", function () {
     control.StartupLocal(folder);
   }, null, ""],
  ["CancelXfer with nothing to cancel", function () { control.CancelXfer(); }, null, ""],
  ["a method the control lacks", function () { control.Uninstall(); }, kNoMember, ""]
];
for (var i = 0; i < cases.length; i++) {
  var c = cases[i];
  var e = raised(c[1]);
  if (c[2] === null) {
    check(c[0], e === null, e ? "raised " + e.number : "");
  } else {
    var ok = e !== null && e.number == c[2] &&
             (c[3] == "" || e.description.indexOf(c[3]) >= 0);
    check(c[0], ok, e ? "number " + e.number + ", " + e.description : "nothing raised");
  }
}

// Wrong argument counts are refused, whatever the method.
var counts = [
  ["StartupLocal with no argument", function () { control.StartupLocal(); }],
  ["StartupLocal with two", function () { control.StartupLocal("a", "b"); }],
  ["Startup with six", function () { control.Startup("a", "b", "c", "d", "e", "f"); }],
  ["CancelXfer with one", function () { control.CancelXfer(1); }]
];
for (var j = 0; j < counts.length; j++) {
  var err = raised(counts[j][1]);
  check(counts[j][0] + " is refused", err !== null && err.number == kWrongCount,
        err ? "number " + err.number : "nothing raised");
}

// Every object made is its own control.
var second = new ActiveXObject("QV_INIT_V3.ctlInit_V3");
check("a second control", second !== control && raised(function () { second.CancelXfer(); }) === null);

WScript.Echo("RESULT " + (failures == 0 ? "ok" : "failed"));
WScript.Quit(failures);
