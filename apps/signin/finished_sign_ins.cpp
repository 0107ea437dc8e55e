#include "signin/finished_sign_ins.hpp"

namespace corvane::apps {

bool FinishedSignIns::contains(const std::string& state) const {
  std::lock_guard lock(mutex_);
  return expires_.contains(state);
}

bool FinishedSignIns::insert(const std::string& state, long long expires, long long now) {
  std::lock_guard lock(mutex_);
  if (expires_.contains(state)) return false;
  while (!order_.empty() && (expires_.at(order_.front()) <= now || order_.size() >= capacity_)) forget_oldest();
  order_.push_back(state);
  expires_.emplace(state, expires);
  return true;
}

std::size_t FinishedSignIns::size() const {
  std::lock_guard lock(mutex_);
  return order_.size();
}

void FinishedSignIns::forget_oldest() {
  expires_.erase(order_.front());
  order_.pop_front();
}

}  // namespace corvane::apps
