// ctlInit_V3::InstallCurrentFile: turns the current record's file, complete
// in the temp folder, into an installed file.
//
// A compressed file is expanded first; one that cannot be expanded is
// reported, with the reason, and left alone (no placement, no font
// registration, no Done). The file is then placed by its install type under
// the hourglass pointer, a font is registered with the system (registry
// value, font table, font-change broadcast), and a program started by install
// type 3 is announced to the host with Done. The run goes on afterwards, so
// Done can come more than once.
//
// Runs on the control's thread, from a tick of the run (local mode) or from
// the transfer completion; never in copy-only mode.
#include <cstdint>
#include <string>

#include "control/ctlInit_V3.h"
#include "install/modInstall.h"
#include "platform/platform.h"
#include "system/modRegistry.h"

namespace qv {
namespace {

constexpr char kCr[] = "\r";
// GetVersion sets this bit on the 9x family.
constexpr uint32_t kVersion9xBit = 0x80000000u;
constexpr char kFontsKey9x[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts";
constexpr char kFontsKeyNt[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
constexpr char kFontValuePrefix[] = "Quillmark Font ";

}  // namespace

void ctlInit_V3::InstallCurrentFile() {
  Platform& platform = CurrentPlatform();
  if (mbIsCompressed) {
    const std::string archive = gsDirTemp + "\\" + msFileName + ".cmp";
    std::string reason;
    if (!ExpandCompressedFile(archive, &reason)) {
      platform.ui->MessageBox(
          "There was an error expanding file " + archive + kCr +
              (reason.empty() ? "" : reason + kCr) +
              "Installation of other files will be completed, but this may cause future errors.",
          kMbOk, "");
      return;
    }
  }

  SetMousePointer(kPointerHourglass);
  Repaint();
  PlaceFile(gsDirTemp + "\\" + msFileName, miInstallType, msTargetPath, msFileVersion);
  SetMousePointer(kPointerDefault);
  Repaint();

  if (mbIsFont) {
    const bool family_9x = (platform.system->GetVersion() & kVersion9xBit) != 0;
    SetStringValueHKLM(family_9x ? kFontsKey9x : kFontsKeyNt, kFontValuePrefix + msFileName,
                       msFileName);
    if (platform.fonts != nullptr) {
      platform.fonts->AddFontResource(msTargetPath);
      platform.fonts->BroadcastFontChange();
    }
  }

  if (miInstallType == itRun) RaiseEvent(ControlEvent::kDone);
}

}  // namespace qv
