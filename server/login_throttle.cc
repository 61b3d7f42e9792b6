// Counting failed logins per account and per address, in the storage.
#include "server/login_throttle.h"

#include <algorithm>

namespace qv::server {

namespace {

int64_t Milliseconds(LoginThrottle::Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

bool LoginThrottle::HeldBack(const ThrottleEntry& account, const ThrottleEntry& address,
                             int64_t now_ms, int64_t* clear_at) const {
  if (now_ms < account.held_until) return true;
  const int64_t refill = limits_.address_refill.count();
  *clear_at = std::max(now_ms, address.held_until) + refill;
  return *clear_at - now_ms > refill * limits_.address_burst;
}

Status LoginThrottle::HoldsBack(const std::string& key_name, const std::string& login,
                                const std::string& address, Clock::time_point now,
                                bool* held_back) {
  const int64_t now_ms = Milliseconds(now);
  return storage_->ChangeThrottle(key_name, login, address, now_ms,
                                  [&](ThrottleEntry* account, ThrottleEntry* from) {
                                    int64_t clear_at = 0;
                                    *held_back = HeldBack(*account, *from, now_ms, &clear_at);
                                    return false;
                                  });
}

Status LoginThrottle::Admit(const std::string& key_name, const std::string& login,
                            const std::string& address, Clock::time_point now, bool* admitted) {
  const int64_t now_ms = Milliseconds(now);
  return storage_->ChangeThrottle(
      key_name, login, address, now_ms, [&](ThrottleEntry* account, ThrottleEntry* from) {
        int64_t clear_at = 0;
        *admitted = !HeldBack(*account, *from, now_ms, &clear_at);
        if (!*admitted) return false;
        from->held_until = clear_at;
        from->expires = clear_at;

        const int64_t forget = limits_.forget.count();
        if (now_ms - account->last_failure > forget) account->failures = 0;
        ++account->failures;
        account->last_failure = now_ms;
        const int64_t over = account->failures - limits_.account_free;
        if (over > 0) {
          std::chrono::milliseconds delay = limits_.account_delay;
          for (int64_t i = 1; i < over && delay < limits_.account_max_delay; ++i) delay *= 2;
          account->held_until = now_ms + std::min(delay, limits_.account_max_delay).count();
        }
        // Forgotten once it holds nothing back and its last failure is
        // more than forget ago.
        account->expires = std::max(account->held_until, now_ms + forget + 1);
        return true;
      });
}

Status LoginThrottle::Succeeded(const std::string& key_name, const std::string& login,
                                const std::string& address, Clock::time_point now) {
  return storage_->ChangeThrottle(key_name, login, address, Milliseconds(now),
                                  [&](ThrottleEntry* account, ThrottleEntry* from) {
                                    *account = {};  // expired: removed
                                    if (from->expires > 0) {
                                      from->held_until -= limits_.address_refill.count();
                                      from->expires = from->held_until;
                                    }
                                    return true;
                                  });
}

}  // namespace qv::server
