// ctlInit_V3: creation, events, the show notification, CancelXfer and the
// panel helpers. The start-up sequences, the install run, the transfer
// completion and the install routine are defined in files of their own.
#include "control/ctlInit_V3.h"

#include <utility>

#include "platform/platform.h"
#include "platform/recordset.h"

namespace qv {

namespace {

// The run's timer ticks as soon as the loop is free once it is enabled.
constexpr uint32_t kTimerIntervalMs = 1;

UserInterface* CurrentUi() { return HasCurrentPlatform() ? CurrentPlatform().ui : nullptr; }

}  // namespace

const char* ControlEventName(ControlEvent event) {
  switch (event) {
    case ControlEvent::kDone:
      return "Done";
    case ControlEvent::kReboot:
      return "Reboot";
    case ControlEvent::kInit:
      return "Init";
  }
  return "";
}

ctlInit_V3::ctlInit_V3() : ctlInit_V3(HasCurrentPlatform() ? &CurrentPlatform() : nullptr) {}

ctlInit_V3::ctlInit_V3(Platform* platform)
    : platform_(platform), alive_(std::make_shared<ctlInit_V3*>(this)) {
  timer_handler_ = [this] { tmrComInstall_Timer(); };
  transfer_handler_ = [this](int16_t state) { Inet1_StateChanged(state); };
  if (platform_ == nullptr) return;
  // Whatever is made here is made on the control's own platform.
  ScopedPlatform scope(platform_);
  tmrComInstall = platform_->loop->CreateTimer(kTimerIntervalMs, [this] { OnTimerTick(); });
  if (platform_->new_transfer) {
    Inet1 = platform_->new_transfer();
  }
  if (Inet1) {
    std::weak_ptr<ctlInit_V3*> alive = alive_;
    Inet1->SetStateChangedHandler([alive](int state) {
      if (std::shared_ptr<ctlInit_V3*> control = alive.lock()) {
        (*control)->OnTransferState(state);
      }
    });
  }
}

ctlInit_V3::~ctlInit_V3() {
  alive_.reset();
  if (Inet1) Inet1->SetStateChangedHandler(nullptr);
}

void ctlInit_V3::CancelXfer() {
  PlatformScope scope(*this);
  if (Inet1) Inet1->Cancel();
}

// ---- The control's platform -------------------------------------------------

ctlInit_V3::PlatformScope::PlatformScope(const ctlInit_V3& control)
    : ready_(control.platform_ != nullptr) {
  // A platform that is current already is the one the call uses.
  if (ready_ && !HasCurrentPlatform()) {
    scope_ = std::make_unique<ScopedPlatform>(control.platform_);
  }
}

ctlInit_V3::PlatformScope::~PlatformScope() = default;

ErrorInfo ctlInit_V3::NoPlatformError() {
  return {kErrorNoPlatform, kClassName, "The control has no platform to work with."};
}

// ---- Events -----------------------------------------------------------------

int ctlInit_V3::Subscribe(ControlEvent event, std::function<void()> handler) {
  Subscriber subscriber;
  subscriber.id = next_subscriber_id_++;
  subscriber.event = event;
  subscriber.handler = [handler = std::move(handler)](ControlEvent) {
    if (handler) handler();
  };
  subscribers_.push_back(std::move(subscriber));
  return subscribers_.back().id;
}

int ctlInit_V3::SubscribeAll(std::function<void(ControlEvent)> handler) {
  Subscriber subscriber;
  subscriber.id = next_subscriber_id_++;
  subscriber.all_events = true;
  subscriber.handler = std::move(handler);
  subscribers_.push_back(std::move(subscriber));
  return subscribers_.back().id;
}

void ctlInit_V3::Unsubscribe(int id) {
  std::erase_if(subscribers_, [id](const Subscriber& s) { return s.id == id; });
}

void ctlInit_V3::RaiseEvent(ControlEvent event) {
  // Take the handlers first: a handler may subscribe, unsubscribe or destroy
  // the control while the others are still to be called.
  std::vector<std::function<void(ControlEvent)>> handlers;
  for (const Subscriber& s : subscribers_) {
    if ((s.all_events || s.event == event) && s.handler) {
      handlers.push_back(s.handler);
    }
  }
  for (const auto& handler : handlers) handler(event);
}

// ---- Container notifications ------------------------------------------------

void ctlInit_V3::UserControl_Show() {
  PlatformScope scope(*this);
  visible_ = true;
  if (UserInterface* ui = CurrentUi()) ui->ShowPanel(panel_);
  RaiseEvent(ControlEvent::kInit);
}

void ctlInit_V3::UserControl_Hide() { visible_ = false; }

// ---- The status panel -------------------------------------------------------

void ctlInit_V3::NotifyPanel(PanelChange change) {
  if (UserInterface* ui = CurrentUi()) ui->PanelChanged(panel_, change);
}

void ctlInit_V3::SetMessage(const std::string& text) {
  panel_.lblMessage.caption = text;
  NotifyPanel(PanelChange::kMessage);
}

void ctlInit_V3::SetFrameCaption(const std::string& text) {
  panel_.frameStatus.caption = text;
  NotifyPanel(PanelChange::kFrame);
}

void ctlInit_V3::SetCurrentWidth(float width) {
  panel_.prgCurrent.width = width;
  NotifyPanel(PanelChange::kBars);
}

void ctlInit_V3::SetTotalWidth(float width) {
  panel_.prgTotal.width = width;
  NotifyPanel(PanelChange::kBars);
}

void ctlInit_V3::SetBytesCaption(const std::string& text) {
  panel_.lblBytes.caption = text;
  NotifyPanel(PanelChange::kBytes);
}

void ctlInit_V3::SetMousePointer(int pointer) {
  panel_.mouse_pointer = pointer;
  NotifyPanel(PanelChange::kPointer);
}

void ctlInit_V3::Repaint() {
  if (UserInterface* ui = CurrentUi()) ui->Repaint(panel_);
}

// ---- Handlers of the child components ---------------------------------------

void ctlInit_V3::SetTimerHandler(std::function<void()> handler) {
  timer_handler_ = std::move(handler);
}

void ctlInit_V3::SetTransferHandler(std::function<void(int16_t)> handler) {
  transfer_handler_ = std::move(handler);
}

void ctlInit_V3::OnTimerTick() {
  PlatformScope scope(*this);
  // A copy: the handler may install another handler while it runs.
  std::function<void()> handler = timer_handler_;
  if (handler) handler();
}

void ctlInit_V3::OnTransferState(int state) {
  PlatformScope scope(*this);
  std::function<void(int16_t)> handler = transfer_handler_;
  if (handler) handler(static_cast<int16_t>(state));
}

}  // namespace qv
