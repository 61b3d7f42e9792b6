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
// State is kept in memory: at most max_entries accounts and as many
// addresses; past that, entries that no longer hold anything back go first,
// then the least recently used.
//
// Thread-safe.
#ifndef QV_SERVER_LOGIN_THROTTLE_H_
#define QV_SERVER_LOGIN_THROTTLE_H_

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qv::server {

struct ThrottleLimits {
  int account_free = 5;
  std::chrono::milliseconds account_delay{1000};
  std::chrono::milliseconds account_max_delay{60'000};
  std::chrono::milliseconds forget{15 * 60'000};
  int address_burst = 30;
  std::chrono::milliseconds address_refill{2000};
  size_t max_entries = 100'000;
};

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LoginThrottle(const ThrottleLimits& limits) : limits_(limits) {}

  // Whether a login of (key_name, login) from address may have its password
  // checked at now; when it may, the attempt is counted as a failure.
  bool Admit(const std::string& key_name, const std::string& login, const std::string& address,
             Clock::time_point now);
  // Whether Admit would refuse now; changes nothing.
  bool HoldsBack(const std::string& key_name, const std::string& login, const std::string& address,
                 Clock::time_point now);
  // An admitted attempt had the right password.
  void Succeeded(const std::string& key_name, const std::string& login, const std::string& address);

 private:
  struct Account {
    int failures = 0;
    Clock::time_point last_failure;
    Clock::time_point next_check;  // none before this
  };
  // The time the address's failures take to be forgotten runs up to this
  // (one address_refill each); a failure is allowed while it stays within
  // address_burst refills of now.
  struct Address {
    Clock::time_point clear_at;
  };

  static std::string AccountKey(const std::string& key_name, const std::string& login);
  // Under mutex_: whether the account or the address holds a login back;
  // *clear_at is the address's time once this attempt counts.
  bool HeldBack(const std::string& account_key, const std::string& address, Clock::time_point now,
                Clock::time_point* clear_at);
  void Prune(Clock::time_point now);

  const ThrottleLimits limits_;
  std::mutex mutex_;
  std::unordered_map<std::string, Account> accounts_;
  std::unordered_map<std::string, Address> addresses_;
};

}  // namespace qv::server

#endif  // QV_SERVER_LOGIN_THROTTLE_H_
