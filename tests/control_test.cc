// The control's host interface, status panel and instance state: events on
// show, CancelXfer, the panel helpers, the child components' handlers and
// the per-thread module values.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/ctlInit_V3.h"
#include "platform/platform.h"
#include "state/module_state.h"
#include "tests/engine_fixture.h"

namespace qv {
namespace {

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

  // The control's transfer component becomes a scripted one, net_.
  void UseFakeTransfer() {
    platform_.new_transfer = [this] {
      auto transfer = std::make_unique<testing::FakeTransfer>(&loop_);
      net_ = transfer.get();
      return transfer;
    };
  }
  // Nothing was shown, changed, drawn or asked.
  bool UiUntouched() const {
    return ui_.shows == 0 && ui_.changes.empty() && ui_.repaints == 0 && ui_.boxes.empty() &&
           ui_.input_prompts.empty() && ui_.pickers_shown == 0;
  }

  // Counts each event raised by control.
  void Listen(ctlInit_V3& control) {
    control.SubscribeAll([this](ControlEvent event) { events_.push_back(event); });
  }

  EventLoop loop_;
  testing::RecordingUi ui_;
  Platform platform_;
  ScopedPlatform scope_{&platform_};
  testing::FakeTransfer* net_ = nullptr;
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
  EXPECT_EQ(ui_.shows, 2);
  // Showing changes nothing on the panel and starts nothing.
  EXPECT_TRUE(ui_.changes.empty());
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

  int reads = 0;
  net_->before_chunk = [&](size_t) { ++reads; };
  control.CancelXfer();
  control.CancelXfer();  // with no transfer under way, cancelled all the same

  EXPECT_EQ(net_->cancels, 2);
  EXPECT_TRUE(net_->requests.empty());
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(MemberSnapshot(control), before);
  EXPECT_EQ(control.panel().lblMessage.caption, panel_before.lblMessage.caption);
  EXPECT_EQ(control.panel().prgTotal.width, panel_before.prgTotal.width);
  EXPECT_EQ(transfer_states, 0);
  // Neither control raised anything or touched the interface.
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(UiUntouched());
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
  EXPECT_TRUE(static_cast<bool>(net_->handler()));
}

// The panel's design state (layout, fonts, colours, the bars' full scales
// and the first message) is drawn and measured by
// FltkPanelTest.DesignPanelInitAtEveryShowAndImmediateRepaint.

// ---- Writing to the panel ---------------------------------------------------

TEST_F(ControlTest, EachHelperStoresItsValueAndNamesTheChangeAndRepaintDrawsIt) {
  ctlInit_V3 control;
  struct Case {
    std::function<void()> set;
    PanelChange change;
    std::function<bool(const Panel&)> holds;  // the new value is in the panel
  };
  const std::string message = "Please wait, getting list of files for update...";
  const std::string frame = "Downloading and Installing: Client library";
  const Case cases[] = {
      {[&] { control.SetMessage(message); }, PanelChange::kMessage,
       [&](const Panel& p) { return p.lblMessage.caption == message; }},
      {[&] { control.SetFrameCaption(frame); }, PanelChange::kFrame,
       [&](const Panel& p) { return p.frameStatus.caption == frame; }},
      {[&] { control.SetCurrentWidth(100); }, PanelChange::kBars,
       [](const Panel& p) { return p.prgCurrent.width == 100.0f; }},
      {[&] { control.SetTotalWidth(200); }, PanelChange::kBars,
       [](const Panel& p) { return p.prgTotal.width == 200.0f; }},
      {[&] { control.SetBytesCaption("2k of 5k"); }, PanelChange::kBytes,
       [](const Panel& p) { return p.lblBytes.caption == "2k of 5k"; }},
      {[&] { control.SetMousePointer(kPointerHourglass); }, PanelChange::kPointer,
       [](const Panel& p) { return p.mouse_pointer == kPointerHourglass; }},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    cases[i].set();
    ASSERT_EQ(ui_.changes.size(), i + 1);
    EXPECT_EQ(ui_.changes[i].first, cases[i].change);
    // The view is handed the panel with the new value already in it.
    EXPECT_TRUE(cases[i].holds(ui_.changes[i].second));
  }
  // The helpers draw nothing; Repaint draws everything the control kept,
  // and the labels that never change kept their captions.
  EXPECT_EQ(ui_.repaints, 0);
  control.Repaint();
  EXPECT_EQ(ui_.repaints, 1);
  for (const Case& c : cases) EXPECT_TRUE(c.holds(ui_.repainted));
  EXPECT_EQ(ui_.repainted.Label1.caption, "Total:");
  EXPECT_EQ(ui_.repainted.Label2.caption, "Current:");
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
  EXPECT_TRUE(UiUntouched());
}

TEST_F(ControlTest, TransferStateReachesTheInstalledHandlerWhileTheControlLives) {
  UseFakeTransfer();
  std::vector<int16_t> states;
  std::function<void(int)> late_delivery;
  {
    ctlInit_V3 control;
    const std::function<void(int)> deliver = net_->handler();
    deliver(kStateResponseCompleted);  // no handler yet: dropped
    control.SetTransferHandler([&](int16_t state) { states.push_back(state); });
    deliver(kStateResponseCompleted);
    deliver(kStateError);
    // A transfer that queued its state change before the control went away.
    late_delivery = deliver;
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
  net_->handler()(kStateResponseCompleted);
  control.UserControl_Show();
  control.CancelXfer();
  EXPECT_EQ(seen, (std::vector<Platform*>{&platform_, &platform_}));
  EXPECT_EQ(ui_.shows, 1);
  EXPECT_EQ(net_->cancels, 1);
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
  // Nothing was made, started, shown or raised.
  EXPECT_EQ(net_, nullptr);
  EXPECT_TRUE(UiUntouched());
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
