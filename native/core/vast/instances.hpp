// Rented instances: reading an instance record, listing and reading them, attaching SSH keys
// and terminating, with the retries each allows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "port.hpp"
#include "value.hpp"

namespace corvane::vast {

// An integer field of an instance: `value`, or the host's int() of `source` when that is
// too large for 64 bits.
struct InstanceInt {
  std::int64_t value = 0;
  const Value* source = nullptr;
};

// What an instance reference holds, read from one marketplace record (a map).
struct InstanceFacts {
  std::vector<std::pair<std::string, std::string>> texts;  // instance_id, name, gpu_type, ...
  InstanceInt gpu_count;                                   // at least 1
  InstanceInt ssh_port;                                    // 0 when absent
};

// Reads one record; a field that has no text or no integer is an ApiFailure.
InstanceFacts parse_instance(const Value& item, Host& host);

// The records of the instance listing (maps only), falling back from a retired v0 listing
// to v1.
std::vector<Value> list_instances(const std::string& base, Marketplace& port);

// The record one instance's answer describes; nothing when it names no instance.
std::optional<Value> get_instance(const std::string& base, const std::string& instance_id,
                                  Marketplace& port);

// How often a request is tried, and which failed statuses are tried again.
struct RetryPolicy {
  long long max_attempts = 1;
  std::vector<long long> statuses;
  bool none_retryable = false;  // a failure without a status (None) is tried again
  bool retryable(const PortError& e) const;
};

// Attaches each key (best effort): true when every key was taken. A failed attempt of any
// kind fails that attempt only; interrupts pass.
bool attach_ssh_keys(const std::string& base, const std::string& instance_id,
                     const std::vector<Value>& keys, const RetryPolicy& policy, Marketplace& port);

// DELETE with retries of transient statuses. A 404 means the instance is gone: done when
// `missing_ok`, else the failure stands.
void terminate_instance(const std::string& base, const std::string& instance_id,
                        const RetryPolicy& policy, bool missing_ok, Marketplace& port);

}  // namespace corvane::vast
