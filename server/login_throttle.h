// LoginThrottle: slows down the guessing of passwords. Failed logins are
// counted per account (key name and login) and per remote address, and a
// login that either of them holds back is refused without its password
// being checked.
//
//   an account   the first account_free failures in a row cost nothing;
//                after each further one the account's next check waits
//                account_delay, doubled for every failure after that, at
//                most account_max_delay. A right password clears the count;
//                failures are forgotten forget after the last one.
//   an address   may have address_burst failures at once, and one more for
//                each address_refill that passes. A right password gives
//                back the failure its attempt was counted as.
//
// An attempt counts as a failure as soon as it is admitted, before its
// password is checked, so that guesses sent at once cannot all get in;
// Succeeded takes it back.
//
// The counts live in the storage (Storage::ChangeThrottle), so that every
// server process on the same database holds back the same logins; each
// decision reads and changes an account's and an address's entry in one
// transaction. An entry is forgotten, and removed, once it holds nothing
// back any more. Times are wall-clock times, which the processes share.
//
// Thread-safe.
#ifndef QV_SERVER_LOGIN_THROTTLE_H_
#define QV_SERVER_LOGIN_THROTTLE_H_

#include <chrono>
#include <string>

#include "server/storage.h"

namespace qv::server {

struct ThrottleLimits {
  int account_free = 5;
  std::chrono::milliseconds account_delay{1000};
  std::chrono::milliseconds account_max_delay{60'000};
  std::chrono::milliseconds forget{15 * 60'000};
  int address_burst = 30;
  std::chrono::milliseconds address_refill{2000};
};

class LoginThrottle {
 public:
  using Clock = std::chrono::system_clock;

  // REQUIRES: storage outlives this object.
  LoginThrottle(const ThrottleLimits& limits, Storage* storage)
      : limits_(limits), storage_(storage) {}

  // Sets *admitted to whether a login of (key_name, login) from address may
  // have its password checked at now; when it may, the attempt is counted
  // as a failure.
  Status Admit(const std::string& key_name, const std::string& login, const std::string& address,
               Clock::time_point now, bool* admitted);
  // Sets *held_back to whether Admit would refuse now; changes nothing.
  Status HoldsBack(const std::string& key_name, const std::string& login,
                   const std::string& address, Clock::time_point now, bool* held_back);
  // An attempt admitted at now had the right password.
  Status Succeeded(const std::string& key_name, const std::string& login,
                   const std::string& address, Clock::time_point now);

 private:
  // Whether account or address holds a login back at now_ms; *clear_at is
  // the address's held_until once this attempt counts: the time its
  // failures take to be forgotten (one address_refill each). A failure is
  // allowed while that stays within address_burst refills of now.
  bool HeldBack(const ThrottleEntry& account, const ThrottleEntry& address, int64_t now_ms,
                int64_t* clear_at) const;

  const ThrottleLimits limits_;
  Storage* storage_;
};

}  // namespace qv::server

#endif  // QV_SERVER_LOGIN_THROTTLE_H_
