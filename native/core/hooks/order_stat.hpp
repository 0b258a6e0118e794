// A multiset of doubles that knows its median in O(1) and updates in O(log n).
#pragma once

#include <cmath>
#include <cstddef>
#include <iterator>
#include <set>

namespace corvane::monitor {

class OrderStat {
 public:
  OrderStat() = default;
  OrderStat(const OrderStat&) = delete;  // the median iterator belongs to this set
  OrderStat& operator=(const OrderStat&) = delete;

  // Values that are not finite are only counted: the callers then use the exact path.
  void insert(double v) {
    if (!std::isfinite(v)) {
      ++nonfinite_;
      return;
    }
    std::size_t n = values_.size();
    auto it = values_.insert(v);  // equal values go after the existing ones
    if (n == 0) {
      mid_ = it;
      return;
    }
    std::size_t index = n / 2;  // index of mid_ before the insert
    if (v < *mid_) ++index;
    settle(index, (n + 1) / 2);
  }

  void erase(double v) {
    if (!std::isfinite(v)) {
      --nonfinite_;
      return;
    }
    std::size_t n = values_.size();
    if (n == 1) {
      values_.clear();
      mid_ = values_.end();
      return;
    }
    std::size_t index = n / 2;
    if (v == *mid_) {
      auto next = std::next(mid_);
      values_.erase(mid_);
      mid_ = next;  // now at `index` in the smaller set
    } else {
      values_.erase(values_.find(v));
      if (v < *mid_) --index;
    }
    settle(index, (n - 1) / 2);
  }

  std::size_t size() const { return values_.size(); }
  bool all_finite() const { return nonfinite_ == 0; }
  std::size_t count() const { return values_.size() + nonfinite_; }

  // The host's median: the middle value, or the mean of the two middle values.
  double median() const {
    if (values_.size() % 2 == 1) return *mid_;
    return (*std::prev(mid_) + *mid_) / 2.0;
  }
  // True when a middle value is zero: its sign then depends on arrival order.
  bool median_touches_zero() const {
    if (*mid_ == 0.0) return true;
    return values_.size() % 2 == 0 && *std::prev(mid_) == 0.0;
  }
  double min() const { return *values_.begin(); }
  double max() const { return *values_.rbegin(); }
  const std::multiset<double>& values() const { return values_; }

 private:
  void settle(std::size_t index, std::size_t target) {
    while (index < target) {
      ++mid_;
      ++index;
    }
    while (index > target) {
      --mid_;
      --index;
    }
  }

  std::multiset<double> values_;
  std::multiset<double>::iterator mid_ = values_.end();
  std::size_t nonfinite_ = 0;
};

}  // namespace corvane::monitor
