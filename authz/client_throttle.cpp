#include "client_throttle.h"

void client_throttle::window_count::roll(clock::time_point now,
                                         clock::duration period) {
  const auto elapsed = now - period_start;
  if (elapsed < period) return;
  previous = elapsed < 2 * period ? current : 0;
  current = 0;
  period_start = now - elapsed % period;
}

uint64_t client_throttle::window_count::value(clock::time_point now,
                                              clock::duration period) const {
  const double left = 1.0 - static_cast<double>((now - period_start).count()) /
                                static_cast<double>(period.count());
  return current + static_cast<uint64_t>(static_cast<double>(previous) * (left > 0 ? left : 0));
}

client_throttle::client_state &client_throttle::touch(const std::string &client,
                                                      clock::time_point now) {
  auto found = clients_.find(client);
  if (found != clients_.end()) {
    seen_.splice(seen_.end(), seen_, found->second.age);
    return found->second;
  }
  if (clients_.size() >= settings_.capacity && !seen_.empty()) {
    clients_.erase(seen_.front());
    seen_.pop_front();
  }
  seen_.push_back(client);
  client_state &state = clients_[client];
  state.failures.period_start = state.answers.period_start = now;
  state.age = std::prev(seen_.end());
  return state;
}

int64_t client_throttle::refused_for(const std::string &client, clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(client);
  if (found == clients_.end()) return 0;
  // A refused client that keeps asking is not the one to forget first.
  seen_.splice(seen_.end(), seen_, found->second.age);
  if (found->second.refused_until <= now) return 0;
  const auto left = found->second.refused_until - now;
  return std::chrono::ceil<std::chrono::seconds>(left).count();
}

void client_throttle::record(const std::string &client, bool failed,
                             clock::time_point now) {
  const clock::duration window = settings_.window;
  std::lock_guard<std::mutex> lock(mutex_);
  client_state &state = touch(client, now);
  state.answers.roll(now, window);
  state.failures.roll(now, window);
  ++state.answers.current;
  if (!failed) return;
  ++state.failures.current;
  const uint64_t failures = state.failures.value(now, window);
  const uint64_t answers = state.answers.value(now, window);
  // An answer still in flight when the refusal began must not extend it.
  if (failures > settings_.budget && failures * 100 > answers * settings_.share_percent &&
      state.refused_until <= now) {
    state.refused_until = now + settings_.ban;
  }
}

size_t client_throttle::tracked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return clients_.size();
}
