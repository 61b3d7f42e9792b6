// The control's host interface, status panel and instance state: events on
// show, CancelXfer, the design state of the panel, the panel helpers, the
// child components' handlers and the per-thread module values.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/ctlInit_V3.h"
#include "platform/platform.h"
#include "state/module_state.h"

namespace qv {
namespace {

// Records every call the control makes on its user interface, with the panel
// as it was passed.
class PanelSpy : public UserInterface {
 public:
  struct Call {
    std::string what;  // "show", "changed", "repaint"
    PanelChange change = PanelChange::kMessage;
    Panel panel;
  };
  void ShowPanel(const Panel& panel) override {
    calls.push_back({"show", PanelChange::kMessage, panel});
  }
  void PanelChanged(const Panel& panel, PanelChange change) override {
    calls.push_back({"changed", change, panel});
  }
  void Repaint(const Panel& panel) override {
    calls.push_back({"repaint", PanelChange::kMessage, panel});
  }
  int MessageBox(const std::string&, int, const std::string&) override {
    ++boxes;
    return kIdOk;
  }
  std::string InputBox(const std::string&, const std::string&, const std::string&) override {
    ++boxes;
    return "";
  }
  void ShowFolderPicker(FolderPickerForm&) override { ++boxes; }
  int Count(const std::string& what) const {
    int n = 0;
    for (const Call& c : calls) n += c.what == what;
    return n;
  }

  std::vector<Call> calls;
  int boxes = 0;
};

// A transfer component that only records what is asked of it.
struct TransferLog {
  int cancels = 0;
  int executes = 0;
  int reads = 0;
  std::function<void(int)> handler;
};

class FakeTransfer : public Transfer {
 public:
  explicit FakeTransfer(std::shared_ptr<TransferLog> log) : log_(log) {}
  void SetStateChangedHandler(std::function<void(int)> handler) override {
    log_->handler = std::move(handler);
  }
  Status Execute(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
    ++log_->executes;
    return Status::OK();
  }
  std::string GetHeader(const std::string&) override {
    ++log_->reads;
    return "";
  }
  std::vector<uint8_t> GetChunk(size_t) override {
    ++log_->reads;
    return {};
  }
  bool ChunkReady(size_t) override { return true; }
  bool BodyEndConfirmed() override { return false; }
  void Cancel() override { ++log_->cancels; }
  std::string url() const override { return ""; }

 private:
  std::shared_ptr<TransferLog> log_;
};

// Everything a control can be seen to hold, for before/after comparisons.
struct MemberSnapshot {
  bool local, copy, compressed, font, dev;
  int16_t prelude, install_type;
  bool has_list, has_data_space;
  std::vector<std::string> texts;
  bool timer_enabled;

  explicit MemberSnapshot(const ctlInit_V3& c)
      : local(c.mbLocalMode),
        copy(c.mbCopyOnly),
        compressed(c.mbIsCompressed),
        font(c.mbIsFont),
        dev(c.mbDevLogin),
        prelude(c.miPreludeStep),
        install_type(c.miInstallType),
        has_list(c.mrsInstallList != nullptr),
        has_data_space(c.mobjDataSpace != nullptr),
        texts({c.msTargetPath, c.msFileName, c.msInstalledVersion, c.msFileVersion, c.msLogin,
               c.msPassword, c.msLoginID, c.msServerURL, c.msDownloadLocation}),
        timer_enabled(c.tmrComInstall->enabled()) {}

  bool operator==(const MemberSnapshot&) const = default;
};

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() {
    platform_.loop = &loop_;
    platform_.ui = &ui_;
  }

  void UseFakeTransfer() {
    platform_.new_transfer = [log = transfer_log_] { return std::make_unique<FakeTransfer>(log); };
  }

  // Counts each event raised by control.
  void Listen(ctlInit_V3& control) {
    control.SubscribeAll([this](ControlEvent event) { events_.push_back(event); });
  }

  EventLoop loop_;
  PanelSpy ui_;
  Platform platform_;
  ScopedPlatform scope_{&platform_};
  std::shared_ptr<TransferLog> transfer_log_ = std::make_shared<TransferLog>();
  std::vector<ControlEvent> events_;
};

// ---- Events -----------------------------------------------------------------

TEST_F(ControlTest, EveryShowRaisesInit) {
  ctlInit_V3 control;
  Listen(control);
  const MemberSnapshot before(control);
  EXPECT_TRUE(events_.empty());  // creation raises nothing
  EXPECT_FALSE(control.visible());

  control.UserControl_Show();
  control.UserControl_Hide();
  EXPECT_FALSE(control.visible());
  control.UserControl_Show();

  EXPECT_EQ(events_, (std::vector<ControlEvent>{ControlEvent::kInit, ControlEvent::kInit}));
  EXPECT_TRUE(control.visible());
  EXPECT_EQ(ui_.Count("show"), 2);
  // Showing changes nothing on the panel and starts nothing.
  EXPECT_EQ(ui_.Count("changed"), 0);
  EXPECT_EQ(MemberSnapshot(control), before);
}

TEST_F(ControlTest, EventsReachEverySubscriberOfThatEventInOrder) {
  ctlInit_V3 control;
  std::vector<std::string> calls;
  control.Subscribe(ControlEvent::kDone, [&] { calls.push_back("done 1"); });
  control.Subscribe(ControlEvent::kReboot, [&] { calls.push_back("reboot"); });
  control.SubscribeAll(
      [&](ControlEvent event) { calls.push_back(std::string("all ") + ControlEventName(event)); });
  control.Subscribe(ControlEvent::kDone, [&] { calls.push_back("done 2"); });

  control.RaiseEvent(ControlEvent::kDone);
  EXPECT_EQ(calls, (std::vector<std::string>{"done 1", "all Done", "done 2"}));

  calls.clear();
  control.RaiseEvent(ControlEvent::kReboot);
  control.UserControl_Show();
  EXPECT_EQ(calls, (std::vector<std::string>{"reboot", "all Reboot", "all Init"}));
}

TEST_F(ControlTest, UnsubscribedHandlerIsNotCalled) {
  ctlInit_V3 control;
  int first = 0, second = 0;
  const int id = control.Subscribe(ControlEvent::kInit, [&] { ++first; });
  control.Subscribe(ControlEvent::kInit, [&] { ++second; });
  control.UserControl_Show();
  control.Unsubscribe(id);
  control.Unsubscribe(12345);  // unknown: ignored
  control.UserControl_Show();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
}

TEST_F(ControlTest, SubscribingDuringRaiseTakesEffectFromNextRaise) {
  ctlInit_V3 control;
  int late = 0;
  control.Subscribe(ControlEvent::kDone,
                    [&] { control.Subscribe(ControlEvent::kDone, [&] { ++late; }); });
  control.RaiseEvent(ControlEvent::kDone);
  EXPECT_EQ(late, 0);
  control.RaiseEvent(ControlEvent::kDone);
  EXPECT_EQ(late, 1);
}

TEST_F(ControlTest, HandlerMayDestroyTheControl) {
  auto control = std::make_unique<ctlInit_V3>();
  int after = 0;
  control->Subscribe(ControlEvent::kDone, [&] { control.reset(); });
  control->Subscribe(ControlEvent::kDone, [&] { ++after; });
  control->RaiseEvent(ControlEvent::kDone);
  EXPECT_EQ(control, nullptr);
  EXPECT_EQ(after, 1);  // taken before the control went away
}

// ---- CancelXfer -------------------------------------------------------------

TEST_F(ControlTest, CancelXferCancelsTheTransferIfAnyAndNothingElse) {
  {
    ctlInit_V3 control;
    Listen(control);
    ASSERT_EQ(control.Inet1, nullptr);
    const MemberSnapshot before(control);
    control.CancelXfer();
    EXPECT_EQ(MemberSnapshot(control), before);
  }
  UseFakeTransfer();
  ctlInit_V3 control;
  Listen(control);
  ASSERT_NE(control.Inet1, nullptr);
  int transfer_states = 0;
  control.SetTransferHandler([&](int16_t) { ++transfer_states; });
  const MemberSnapshot before(control);
  const Panel panel_before = control.panel();

  control.CancelXfer();
  control.CancelXfer();  // with no transfer under way, cancelled all the same

  EXPECT_EQ(transfer_log_->cancels, 2);
  EXPECT_EQ(transfer_log_->executes, 0);
  EXPECT_EQ(transfer_log_->reads, 0);
  EXPECT_EQ(MemberSnapshot(control), before);
  EXPECT_EQ(control.panel().lblMessage.caption, panel_before.lblMessage.caption);
  EXPECT_EQ(control.panel().prgTotal.width, panel_before.prgTotal.width);
  EXPECT_EQ(transfer_states, 0);
  // Neither control raised anything or touched the interface.
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(ui_.calls.empty());
  EXPECT_EQ(ui_.boxes, 0);
}

// ---- Creation ---------------------------------------------------------------

TEST_F(ControlTest, CreationLeavesMembersEmptyTheTimerOffAndTakesTheTransferFromThePlatform) {
  {
    ctlInit_V3 control;
    const MemberSnapshot m(control);
    EXPECT_FALSE(m.local || m.copy || m.compressed || m.font || m.dev || m.has_list ||
                 m.has_data_space || m.timer_enabled);
    EXPECT_EQ(m.prelude, 0);
    EXPECT_EQ(m.install_type, 0);
    EXPECT_EQ(m.texts, std::vector<std::string>(9));
    EXPECT_EQ(control.panel().mouse_pointer, kPointerDefault);
    EXPECT_EQ(control.tmrComInstall->interval(), 1u);
    EXPECT_TRUE(loop_.Idle());
    EXPECT_EQ(control.Inet1, nullptr);  // the platform offers none
  }
  UseFakeTransfer();
  ctlInit_V3 control;
  EXPECT_NE(control.Inet1, nullptr);
  EXPECT_TRUE(static_cast<bool>(transfer_log_->handler));
}

TEST_F(ControlTest, PanelStartsInItsDesignState) {
  ctlInit_V3 control;
  const Panel& p = control.panel();
  EXPECT_EQ(p.back_color, 0x00FFFFFFu);
  struct Design {
    const Widget& w;
    WidgetKind kind;
    Rect rect;
    const char* parent;
    const char* caption;
    bool auto_size, bold;  // bold: 8.25-point bold "MS Sans Serif"
  };
  const std::string first = "Please wait, initializing system login procedure...";
  const char* f = "frameStatus";
  using K = WidgetKind;
  for (const Design& d : std::initializer_list<Design>{
           {p.lblMessage, K::kLabel, {0, 60, 4140, 195}, "", first.c_str(), true, true},
           {p.frameStatus, K::kFrame, {0, 300, 7335, 975}, "", "", false, true},
           {p.Label2, K::kLabel, {60, 300, 690, 195}, f, "Current:", true, true},
           {p.lblBytes, K::kLabel, {5220, 300, 1785, 195}, f, "", false, false},
           {p.Label1, K::kLabel, {60, 660, 510, 195}, f, "Total:", true, true},
           {p.prgCurrent, K::kShape, {840, 300, 4335, 195}, f, "", false, false},
           {p.prgTotal, K::kShape, {840, 660, 6375, 195}, f, "", false, false}}) {
    SCOPED_TRACE(d.w.name);
    EXPECT_EQ(d.w.kind, d.kind);
    EXPECT_EQ(std::vector<int>({d.w.rect.left, d.w.rect.top, d.w.rect.width, d.w.rect.height}),
              std::vector<int>({d.rect.left, d.rect.top, d.rect.width, d.rect.height}));
    EXPECT_EQ(d.w.parent, d.parent);
    EXPECT_EQ(d.w.caption, d.caption);
    EXPECT_EQ(d.w.auto_size, d.auto_size);
    EXPECT_EQ(d.w.font.bold, d.bold);
    if (d.bold) {
      EXPECT_EQ(d.w.font.name, "MS Sans Serif");
      EXPECT_EQ(d.w.font.size_points, 8.25);
    }
    // Bars are opaque shapes in system colour 1; every other child is white.
    const bool bar = d.kind == WidgetKind::kShape;
    EXPECT_EQ(d.w.opaque, bar);
    EXPECT_EQ(d.w.back_color, bar ? 0x80000001u : 0x00FFFFFFu);
    if (bar) {
      EXPECT_EQ(d.w.fill_color, 0x80000001u);
      EXPECT_EQ(d.w.border_color, 0x80000001u);
    }
  }
  EXPECT_EQ(p.frameStatus.fore_color, 0x00400000u);
  // A bar's design width is its full scale.
  EXPECT_EQ(p.prgCurrent.width, 4335.0f);
  EXPECT_EQ(p.prgTotal.width, 6375.0f);
}

// ---- Writing to the panel ---------------------------------------------------

TEST_F(ControlTest, EachHelperStoresItsValueAndNamesTheChange) {
  ctlInit_V3 control;
  control.SetMessage("Please wait, getting list of files for update...");
  control.SetFrameCaption("Downloading and Installing: Client library");
  control.SetCurrentWidth(100);
  control.SetTotalWidth(200);
  control.SetBytesCaption("2k of 5k");
  control.SetMousePointer(kPointerHourglass);

  ASSERT_EQ(ui_.calls.size(), 6u);
  const PanelChange expected[] = {PanelChange::kMessage, PanelChange::kFrame,
                                  PanelChange::kBars,    PanelChange::kBars,
                                  PanelChange::kBytes,   PanelChange::kPointer};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(ui_.calls[i].what, "changed");
    EXPECT_EQ(ui_.calls[i].change, expected[i]) << i;
  }
  // The view is handed the panel with the new value already in it.
  EXPECT_EQ(ui_.calls[0].panel.lblMessage.caption,
            "Please wait, getting list of files for update...");
  EXPECT_EQ(ui_.calls[1].panel.frameStatus.caption, "Downloading and Installing: Client library");
  EXPECT_EQ(ui_.calls[2].panel.prgCurrent.width, 100.0f);
  EXPECT_EQ(ui_.calls[3].panel.prgTotal.width, 200.0f);
  EXPECT_EQ(ui_.calls[4].panel.lblBytes.caption, "2k of 5k");
  EXPECT_EQ(ui_.calls[5].panel.mouse_pointer, kPointerHourglass);
  // The control keeps what it handed over (Repaint draws it); the labels
  // that never change kept their captions.
  EXPECT_EQ(control.panel().lblBytes.caption, "2k of 5k");
  EXPECT_EQ(control.panel().Label1.caption, "Total:");
  EXPECT_EQ(control.panel().Label2.caption, "Current:");
}

TEST_F(ControlTest, RepaintDrawsTheCurrentPanelAndHelpersDoNot) {
  ctlInit_V3 control;
  control.SetMessage("Please wait, checking and installing needed updates...");
  control.SetTotalWidth(0);
  EXPECT_EQ(ui_.Count("repaint"), 0);
  control.Repaint();
  ASSERT_EQ(ui_.Count("repaint"), 1);
  const Panel& drawn = ui_.calls.back().panel;
  EXPECT_EQ(drawn.lblMessage.caption, "Please wait, checking and installing needed updates...");
  EXPECT_EQ(drawn.prgTotal.width, 0.0f);
}

TEST_F(ControlTest, BarWidthsAreKeptInSinglePrecision) {
  ctlInit_V3 control;
  // The first of four records: exactly representable.
  control.SetTotalWidth(6375.0 / 4 * 1);
  EXPECT_EQ(control.panel().prgTotal.width, 1593.75f);
  // 1000 of 3000 bytes: the double quotient rounds to the nearest float.
  const double exact = 1000.0 / 3000.0 * 4335.0;
  control.SetCurrentWidth(static_cast<float>(exact));
  EXPECT_EQ(control.panel().prgCurrent.width, static_cast<float>(exact));
  const double third = 1.0 / 3.0 * 4335.0 + 0.1;
  control.SetCurrentWidth(static_cast<float>(third));
  EXPECT_NE(static_cast<double>(control.panel().prgCurrent.width), third);
  EXPECT_EQ(control.panel().prgCurrent.width, static_cast<float>(third));
}

// ---- Child component handlers -----------------------------------------------

TEST_F(ControlTest, TickWithoutHandlerDoesNothing) {
  ctlInit_V3 control;
  Listen(control);
  const MemberSnapshot before(control);
  int other_ticks = 0;
  std::unique_ptr<Timer> watcher;
  watcher = loop_.CreateTimer(1, [&] {
    if (++other_ticks == 5) {
      watcher->SetEnabled(false);
      control.tmrComInstall->SetEnabled(false);
    }
  });
  control.tmrComInstall->SetEnabled(true);
  watcher->SetEnabled(true);
  EXPECT_TRUE(loop_.RunUntilIdle());
  EXPECT_EQ(other_ticks, 5);
  EXPECT_EQ(MemberSnapshot(control), before);
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(ui_.calls.empty());
}

TEST_F(ControlTest, TransferStateReachesTheInstalledHandlerWhileTheControlLives) {
  UseFakeTransfer();
  std::vector<int16_t> states;
  std::function<void(int)> late_delivery;
  {
    ctlInit_V3 control;
    transfer_log_->handler(kStateResponseCompleted);  // no handler yet: dropped
    control.SetTransferHandler([&](int16_t state) { states.push_back(state); });
    transfer_log_->handler(kStateResponseCompleted);
    transfer_log_->handler(kStateError);
    // A transfer that queued its state change before the control went away.
    late_delivery = transfer_log_->handler;
  }
  late_delivery(kStateResponseCompleted);
  EXPECT_EQ(states, (std::vector<int16_t>{12, 11}));
}

// ---- The control's platform -------------------------------------------------

TEST_F(ControlTest, CallsAndHandlersTakeTheControlsPlatformWhenTheThreadHasNone) {
  UseFakeTransfer();
  ctlInit_V3 control;
  EXPECT_EQ(control.platform(), &platform_);
  std::vector<Platform*> seen;
  const auto current = [&] { seen.push_back(HasCurrentPlatform() ? &CurrentPlatform() : nullptr); };
  control.SetTimerHandler([&] {
    current();
    control.tmrComInstall->SetEnabled(false);
  });
  control.SetTransferHandler([&](int16_t) { current(); });

  ScopedPlatform none(nullptr);
  control.tmrComInstall->SetEnabled(true);
  loop_.RunDue();
  transfer_log_->handler(kStateResponseCompleted);
  control.UserControl_Show();
  control.CancelXfer();
  EXPECT_EQ(seen, (std::vector<Platform*>{&platform_, &platform_}));
  EXPECT_EQ(ui_.Count("show"), 1);
  EXPECT_EQ(transfer_log_->cancels, 1);
  EXPECT_FALSE(HasCurrentPlatform());  // each call put things back
}

TEST_F(ControlTest, AControlWithoutPlatformFailsItsStartUpsAndDoesNotCrash) {
  UseFakeTransfer();
  struct Case {
    const char* how;
    std::function<std::unique_ptr<ctlInit_V3>()> make;
  };
  const std::vector<Case> cases = {
      {"created on a thread without platform",
       [] {
         ScopedPlatform none(nullptr);
         return std::make_unique<ctlInit_V3>();
       }},
      {"given none", [] { return std::make_unique<ctlInit_V3>(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    std::unique_ptr<ctlInit_V3> control = c.make();
    Listen(*control);
    EXPECT_EQ(control->platform(), nullptr);
    EXPECT_EQ(control->tmrComInstall, nullptr);
    EXPECT_EQ(control->Inet1, nullptr);
    const std::vector<ErrorInfo> results = {
        control->Startup("http://f.test/", "http://bo.test/", "K", "u", "p", "1", false),
        control->StartupV2("http://f.test/", "http://bo.test/", "K", "u", "p", "1", false),
        control->StartupLocal("C:\\Local")};
    for (const ErrorInfo& e : results) {
      EXPECT_EQ(e.number, kErrorNoPlatform);
      EXPECT_EQ(e.source, kClassName);
    }
    control->CancelXfer();
  }
  // Nothing was started, shown or raised.
  EXPECT_EQ(transfer_log_->cancels, 0);
  EXPECT_TRUE(ui_.calls.empty());
  EXPECT_TRUE(events_.empty());
}

// ---- Module-level values ----------------------------------------------------

TEST(ModuleStateTest, ValuesArePerThread) {
  gsCopyFolder = "C:\\Copy\\";
  gbRebootNeeded = true;
  gbHasInstallRights = true;

  std::string other_folder = "unset";
  bool other_reboot = true, other_rights = true;
  std::thread other([&] {
    other_folder = gsCopyFolder;
    other_reboot = gbRebootNeeded;
    other_rights = gbHasInstallRights;
    gsCopyFolder = "D:\\Elsewhere\\";
    gbRebootNeeded = true;
  });
  other.join();

  // The other thread started from its own empty values...
  EXPECT_EQ(other_folder, "");
  EXPECT_FALSE(other_reboot);
  EXPECT_FALSE(other_rights);
  // ...and its writes did not reach this thread's.
  EXPECT_EQ(gsCopyFolder, "C:\\Copy\\");
  EXPECT_TRUE(gbRebootNeeded);

  gsCopyFolder.clear();
  gbRebootNeeded = false;
  gbHasInstallRights = false;
}

}  // namespace
}  // namespace qv
