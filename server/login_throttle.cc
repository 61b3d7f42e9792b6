// Counting failed logins per account and per address.
#include "server/login_throttle.h"

#include <algorithm>
#include <vector>

namespace qv::server {

namespace {

// Drops entries of map for which spent(entry) holds; then, while more than
// keep remain, the ones whose last_used(entry) is oldest.
template <typename Map, typename Spent, typename LastUsed>
void Thin(Map* map, size_t keep, Spent spent, LastUsed last_used) {
  std::erase_if(*map, [&](const auto& item) { return spent(item.second); });
  if (map->size() <= keep) return;
  std::vector<LoginThrottle::Clock::time_point> times;
  times.reserve(map->size());
  for (const auto& item : *map) times.push_back(last_used(item.second));
  const auto cut = times.begin() + static_cast<std::ptrdiff_t>(map->size() - keep);
  std::nth_element(times.begin(), cut, times.end());
  const auto oldest_kept = *cut;
  std::erase_if(*map, [&](const auto& item) { return last_used(item.second) < oldest_kept; });
}

}  // namespace

std::string LoginThrottle::AccountKey(const std::string& key_name, const std::string& login) {
  std::string key = key_name;
  key.push_back('\0');
  return key + login;
}

bool LoginThrottle::HeldBack(const std::string& account_key, const std::string& address,
                             Clock::time_point now, Clock::time_point* clear_at) {
  const auto account_found = accounts_.find(account_key);
  if (account_found != accounts_.end() && now < account_found->second.next_check) return true;
  const auto address_found = addresses_.find(address);
  *clear_at =
      std::max(now, address_found == addresses_.end() ? now : address_found->second.clear_at) +
      limits_.address_refill;
  return *clear_at - now > limits_.address_refill * limits_.address_burst;
}

bool LoginThrottle::HoldsBack(const std::string& key_name, const std::string& login,
                              const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::time_point clear_at;
  return HeldBack(AccountKey(key_name, login), address, now, &clear_at);
}

bool LoginThrottle::Admit(const std::string& key_name, const std::string& login,
                          const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string account_key = AccountKey(key_name, login);
  Clock::time_point clear_at;
  if (HeldBack(account_key, address, now, &clear_at)) return false;

  if (accounts_.size() >= limits_.max_entries || addresses_.size() >= limits_.max_entries) {
    Prune(now);
  }
  addresses_[address].clear_at = clear_at;
  Account& account = accounts_[account_key];
  if (now - account.last_failure > limits_.forget) account.failures = 0;
  ++account.failures;
  account.last_failure = now;
  const int over = account.failures - limits_.account_free;
  if (over > 0) {
    std::chrono::milliseconds delay = limits_.account_delay;
    for (int i = 1; i < over && delay < limits_.account_max_delay; ++i) delay *= 2;
    account.next_check = now + std::min(delay, limits_.account_max_delay);
  }
  return true;
}

void LoginThrottle::Succeeded(const std::string& key_name, const std::string& login,
                              const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  accounts_.erase(AccountKey(key_name, login));
  const auto found = addresses_.find(address);
  if (found != addresses_.end()) found->second.clear_at -= limits_.address_refill;
}

void LoginThrottle::Prune(Clock::time_point now) {
  const size_t keep = limits_.max_entries * 3 / 4;
  Thin(
      &accounts_, keep,
      [&](const Account& a) {
        return now >= a.next_check && now - a.last_failure > limits_.forget;
      },
      [](const Account& a) { return a.last_failure; });
  Thin(
      &addresses_, keep, [&](const Address& a) { return a.clear_at <= now; },
      [](const Address& a) { return a.clear_at; });
}

}  // namespace qv::server
