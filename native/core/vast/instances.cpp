#include "instances.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <limits>

#include "requests.hpp"
#include "rules.hpp"
#include "search.hpp"

namespace corvane::vast {

namespace {

[[noreturn]] void bad_instance(const std::string& key, const std::string& detail) {
  throw ApiFailure(std::nullopt, "malformed Vast.ai instance answer: '" + key + "' " + detail);
}

// The text of a record's value: a str must be real text (no lone surrogates); another value
// is the host's str() of it.
std::string instance_text(const std::string& key, const Value& v, Host& host) {
  if (v.kind == Json::Str) {
    if (!v.text_ok) bad_instance(key, "is not valid text: " + host.quote(v));
    return v.text;
  }
  std::optional<std::string> text = host.text(v);
  if (!text) bad_instance(key, "has no text form: " + host.quote(v));
  return *text;
}

// int(v) of a record's value, at least `floor`.
InstanceInt instance_int(const char* key, const Value& v, std::int64_t floor, Host& host) {
  std::optional<HostInt> n = host.to_int(v);
  if (!n) bad_instance(key, "is not an integer: " + host.quote(v));
  if (n->value < floor) return {floor, nullptr};
  return n->exact ? InstanceInt{n->value, nullptr} : InstanceInt{n->value, &v};
}

std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// One attempt to attach one key: true when the marketplace took it.
bool attach_once(const std::string& url, const Value& key, Marketplace& port) {
  Value body = map_value();
  body.set("ssh_key", key);
  Value answer = port.send("POST", url, &body);
  std::optional<bool> success;
  std::string message;
  if (answer.is_map()) {
    if (const Value* msg = answer.get("msg")) {
      std::optional<std::string> text = msg->kind == Json::Str ? msg->text : port.text(*msg);
      if (!text) return false;  // a message without text: refused
      message = ascii_lower(*text);
    }
    const Value& flag = answer.at("success");
    if (flag.kind == Json::Bool) success = flag.truthy;
  }
  return key_attached(success, message);
}

// "n/total", as the log's messages count attempts and keys.
std::string fraction(long long n, long long total) {
  std::string out = std::to_string(n);
  out += '/';
  out += std::to_string(total);
  return out;
}

std::string escape_percent(std::string text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

}  // namespace

InstanceFacts parse_instance(const Value& item, Host& host) {
  InstanceFacts out;
  const Value& gpus = item.at("num_gpus");
  out.gpu_count = gpus.truthy ? instance_int("num_gpus", gpus, 1, host) : InstanceInt{1, nullptr};
  for (const InstanceTextField& f : instance_text_fields()) {
    std::string value(f.fallback);
    for (std::string_view key : f.keys) {
      const Value& v = item.at(key);
      if (v.truthy) {
        value = instance_text(std::string(key), v, host);
        break;
      }
    }
    out.texts.emplace_back(std::string(f.name), std::move(value));
  }
  const Value& port = item.at("ssh_port");
  constexpr std::int64_t kAny = std::numeric_limits<std::int64_t>::min();
  out.ssh_port = port.truthy ? instance_int("ssh_port", port, kAny, host) : InstanceInt{0, nullptr};
  return out;
}

std::vector<Value> list_instances(const std::string& base, Marketplace& port) {
  std::string url = base + "/instances/";
  Value answer;
  try {
    answer = port.send("GET", url, nullptr);
  } catch (const PortError& e) {
    // The marketplace retires the v0 listing for some accounts with exactly this answer;
    // v1 has the same shape. Anything else is a failure as before.
    if (!e.api_error) throw;
    std::optional<std::string> v1 =
        listing_fallback_url(url, e.no_status ? std::nullopt : e.status, e.text);
    if (!v1) throw;
    answer = port.send("GET", *v1, nullptr);
  }
  std::vector<Value> out;
  for (Value& item : answer_list(answer, "instances", "instance listing", port)) {
    if (item.is_map()) out.push_back(std::move(item));
  }
  return out;
}

std::optional<Value> get_instance(const std::string& base, const std::string& instance_id,
                                  Marketplace& port) {
  Value answer = port.send("GET", instance_url(base, instance_id), nullptr);
  Value result = answer;
  if (answer.is_map()) {
    const Value* inner = answer.get("instances");
    switch (pick_instance(inner != nullptr ? inner->kind : Json::Missing)) {
      case InstancePick::FirstOfList:
        result = inner->items.empty() ? map_value() : inner->items.front();
        break;
      case InstancePick::Inner:
        result = *inner;
        break;
      case InstancePick::Nothing:
        result = map_value();
        break;
      case InstancePick::Answer:
        break;
    }
  }
  if (!result.is_map() || !result.truthy) return std::nullopt;
  return result;
}

bool RetryPolicy::retryable(const PortError& e) const {
  if (!e.api_error) return false;
  if (e.no_status) return none_retryable;
  return e.status && std::find(statuses.begin(), statuses.end(), *e.status) != statuses.end();
}

bool attach_ssh_keys(const std::string& base, const std::string& instance_id,
                     const std::vector<Value>& keys, const RetryPolicy& policy, Marketplace& port) {
  std::string url = instance_url(base, instance_id, "/ssh/");
  bool all = true;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string which =
        " key " + fraction(static_cast<long long>(i) + 1, static_cast<long long>(keys.size()));
    for (long long attempt = 1;; ++attempt) {
      // Best effort: whatever an attempt meets (a failed request, an answer of any shape,
      // a fault here) fails that attempt only; the key also travels in the launch itself.
      bool again = false;
      try {
        if (attach_once(url, keys[i], port)) break;
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (const PortError& e) {
        if (!e.ordinary) throw;
        again = policy.retryable(e);
      } catch (...) {
      }
      if (after_failure(attempt, policy.max_attempts, again, false) == AfterFailure::kRetry) {
        long long delay = retry_delay_s(attempt);
        port.warn("vast: ssh-key attach attempt " + fraction(attempt, policy.max_attempts) +
                  " failed for instance %s" + which + "; retrying in " + std::to_string(delay) +
                  "s");
        port.sleep(delay);
        continue;
      }
      port.warn("vast: per-instance ssh-key attach failed for instance %s" + which +
                "; relying on onstart/PUBLIC_KEY fallback");
      all = false;
      break;
    }
  }
  return all;
}

void terminate_instance(const std::string& base, const std::string& instance_id,
                        const RetryPolicy& policy, bool missing_ok, Marketplace& port) {
  std::string url = instance_url(base, instance_id);
  Value body = map_value();
  for (long long attempt = 1;; ++attempt) {
    long long delay = 0;
    std::string status;
    try {
      port.send("DELETE", url, &body);
      return;
    } catch (const PortError& e) {
      if (!e.api_error) throw;
      bool gone = missing_ok && !e.no_status && e.status == 404;
      switch (after_failure(attempt, policy.max_attempts, !gone && policy.retryable(e), gone)) {
        case AfterFailure::kGone:
          return;
        case AfterFailure::kGiveUp:
          throw;
        case AfterFailure::kRetry:
          break;
      }
      delay = retry_delay_s(attempt);
      status = e.no_status ? "None" : escape_percent(e.status_text);
    }
    port.warn("vast: terminate attempt " + fraction(attempt, policy.max_attempts) +
              " failed for instance %s with status " + status + "; retrying in " +
              std::to_string(delay) + "s");
    port.sleep(delay);
  }
}

}  // namespace corvane::vast
