// Runs of QV_INIT_V3.ctlInit_V3 that a script starts and waits for, against
// qvserver on 127.0.0.1: an online run, a copy-only run into a folder, and a
// local run from that folder. QvTest.ScriptEvents (script_events.cc) hears
// the control's events, pumps the thread's messages while the script waits
// and answers the dialogs a run shows. Prints one line per case and, last,
// "RESULT ok" or "RESULT failed"; quits with the number of failed cases.
//
//   runs.js <server base address> <key> <user> <password> <proxy host:port>
//           <copy folder> <folder without a list>
var args = WScript.Arguments;
var base = args(0), key = args(1), user = args(2), password = args(3);
var proxy = args(4), copyFolder = args(5), emptyFolder = args(6);
var shell = new ActiveXObject("WScript.Shell");
var files = new ActiveXObject("Scripting.FileSystemObject");
var clientFolder = "C:\\Program Files\\Ostrel\\Quillmark\\Client";
var fontsKey = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\";
var internetKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";
var failures = 0;

function check(name, ok, detail) {
  WScript.Echo((ok ? "ok   " : "FAIL ") + name + (detail ? " (" + detail + ")" : ""));
  if (!ok) failures++;
}

function contents(path) {
  if (!files.FileExists(path)) return null;
  var stream = files.OpenTextFile(path, 1);
  var text = stream.AtEndOfStream ? "" : stream.ReadAll();
  stream.Close();
  return text;
}

function regRead(name) {
  try {
    return shell.RegRead(name);
  } catch (e) {
    return null;
  }
}

// A new control with its events connected; handlers count what arrives.
var heard = {Done: 0, Reboot: 0, Init: 0};
function newControl(events) {
  var control = new ActiveXObject("QV_INIT_V3.ctlInit_V3");
  events.Connect(control, {
    Done: function () { heard.Done++; },
    Reboot: function () { heard.Reboot++; },
    Init: function () { heard.Init++; }
  });
  return control;
}

var events = new ActiveXObject("QvTest.ScriptEvents");
events.AnswerBoxes(1);

// ---- Online: the list and the files come from qvserver ----
var online = newControl(events);
online.StartupV2(base + "/", base + "/bo", key, user, password, "", false);
var got = events.Wait(60);
check("the online run ends with Done", got == "Done", "events '" + got + "'");
check("the script's Done handler ran once", heard.Done == 1, heard.Done + " calls");
check("the online run installed the served file",
      contents(clientFolder + "\\online.txt") == "bytes the server hands out\r\n",
      clientFolder + "\\online.txt");
check("the font is recorded in the registry",
      regRead(fontsKey + "Quillmark Font qvfont.ttf") == "qvfont.ttf",
      "value " + regRead(fontsKey + "Quillmark Font qvfont.ttf"));
check("the font file is in the fonts folder",
      files.FileExists(files.GetSpecialFolder(0) + "\\Fonts\\qvfont.ttf"));

// ---- Copy-only: gathered into the picked folder, nothing installed ----
// The run first fetches two fixed files from the default download server;
// the proxy hands those requests to qvserver.
files.DeleteFile(clientFolder + "\\online.txt");
shell.RegWrite(internetKey + "ProxyServer", proxy, "REG_SZ");
shell.RegWrite(internetKey + "ProxyEnable", 1, "REG_DWORD");
shell.CurrentDirectory = copyFolder;  // where the folder picker opens
var copier = newControl(events);
copier.Startup(base + "/", base + "/bo", key, user, password, "COPYONLY", false);
got = events.Wait(60);
shell.RegWrite(internetKey + "ProxyEnable", 0, "REG_DWORD");
check("the copy-only run ends with Done", got == "Done", "events '" + got + "'");
var gathered = ["online.txt", "qvfont.ttf", "installlist.rst", "setup.html", "QV_Init_V3.CAB"];
for (var i = 0; i < gathered.length; i++) {
  check("the copy folder holds " + gathered[i], files.FileExists(copyFolder + "\\" + gathered[i]));
}
check("the copy-only run installed nothing", !files.FileExists(clientFolder + "\\online.txt"));

// ---- Local: installs from the folder the copy-only run filled ----
var local = newControl(events);
local.StartupLocal(copyFolder);
got = events.Wait(60);
check("the local run ends with Done", got == "Done", "events '" + got + "'");
check("the local run installed the gathered file",
      contents(clientFolder + "\\online.txt") == "bytes the server hands out\r\n");
check("no dialog was shown so far", events.Boxes() == "", events.Boxes());

// ---- A local folder without a list: the error box, answered ----
var empty = newControl(events);
empty.StartupLocal(emptyFolder);
got = events.Wait(5);
check("a folder without a list shows the gather error box",
      events.Boxes().indexOf("Error: There was an error trying to gather information") == 0,
      events.Boxes());
check("and raises no event", got == "", "events '" + got + "'");
check("no script handler saw Reboot or Init", heard.Reboot == 0 && heard.Init == 0,
      "Reboot " + heard.Reboot + ", Init " + heard.Init);

WScript.Echo("RESULT " + (failures == 0 ? "ok" : "failed"));
WScript.Quit(failures);
