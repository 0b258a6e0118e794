#include "../instances.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "fake_market.hpp"

namespace corvane::vast {
namespace {

using testing::api_error;
using testing::FakeMarket;
using testing::map_of;

const std::string kBase = "http://h/api/v0";

std::string text_of(const InstanceFacts& f, const std::string& name) {
  for (const auto& [n, t] : f.texts) {
    if (n == name) return t;
  }
  return "<absent>";
}

TEST(ParseInstance, TextsFallbacksAndIntegers) {
  FakeMarket host;
  InstanceFacts f = parse_instance(map_of({{"id", int_value(0)},
                                           {"contract", int_value(55)},
                                           {"label", null_value()},
                                           {"gpu_name", str_value("H100 SXM")},
                                           {"num_gpus", int_value(8)},
                                           {"intended_status", str_value("stopped")},
                                           {"ssh_port", str_value("31904")},
                                           {"country", str_value("CA")}}),
                                   host);
  EXPECT_EQ(text_of(f, "instance_id"), "55");
  EXPECT_EQ(text_of(f, "name"), "");
  EXPECT_EQ(text_of(f, "status"), "stopped");
  EXPECT_EQ(text_of(f, "region"), "CA");
  EXPECT_EQ(f.gpu_count.value, 8);
  EXPECT_EQ(f.ssh_port.value, 31904);
  InstanceFacts empty = parse_instance(map_value(), host);
  EXPECT_EQ(text_of(empty, "gpu_type"), "UNKNOWN");
  EXPECT_EQ(empty.gpu_count.value, 1);
  EXPECT_EQ(empty.ssh_port.value, 0);
  EXPECT_EQ(parse_instance(map_of({{"num_gpus", int_value(-4)}}), host).gpu_count.value, 1);
}

TEST(ParseInstance, AValueWithoutTextOrIntegerIsMalformed) {
  FakeMarket host;
  Value surrogate = str_value("a?b");
  surrogate.text_ok = false;
  struct Case {
    Value item;
    std::string message;
  } cases[] = {
      {map_of({{"label", surrogate}}),
       "malformed Vast.ai instance answer: 'label' is not valid text: <str>"},
      {map_of({{"id", list_value({int_value(1)})}}),
       "malformed Vast.ai instance answer: 'id' has no text form: <list>"},
      {map_of({{"num_gpus", str_value("eight")}}),
       "malformed Vast.ai instance answer: 'num_gpus' is not an integer: <str>"},
      {map_of({{"ssh_port", float_value(INFINITY)}}),
       "malformed Vast.ai instance answer: 'ssh_port' is not an integer: <float>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::failure_of([&] { parse_instance(c.item, host); }), c.message);
  }
}

TEST(Instances, RetiredListingFallsBackToV1AndOtherFailuresStand) {
  FakeMarket market;
  market.fail(api_error(410, "vast API error (HTTP 410): deprecated_endpoint"));
  market.answer(
      map_of({{"instances", list_value({map_of({{"id", int_value(1)}}), int_value(2)})}}));
  EXPECT_EQ(list_instances(kBase, market).size(), 1u);
  EXPECT_EQ(market.sent.at(1).url, "http://h/api/v1/instances/");

  market.fail(api_error(410, "gone"));
  EXPECT_THROW(list_instances(kBase, market), PortError);
  PortError interrupted;  // not the marketplace's answer: never a fallback
  interrupted.ordinary = false;
  market.fail(interrupted);
  EXPECT_THROW(list_instances(kBase, market), PortError);
}

TEST(Instances, OneInstanceFromEachAnswerShape) {
  FakeMarket market;
  Value record = map_of({{"id", int_value(3)}});
  struct Case {
    Value answer;
    bool found;
  } cases[] = {
      {record, true},
      {map_of({{"instances", list_value({record})}}), true},
      {map_of({{"instances", record}}), true},
      {map_of({{"instances", list_value({})}}), false},
      {map_of({{"instances", null_value()}}), false},
      {map_value(), false},
      {list_value({record}), false},
  };
  for (const Case& c : cases) {
    market.answer(c.answer);
    std::optional<Value> got = get_instance(kBase, "a/../b", market);
    EXPECT_EQ(got.has_value(), c.found);
    if (got) {
      EXPECT_EQ(got->at("id").integer, 3);
    }
  }
  EXPECT_EQ(market.sent.at(0).url, "http://h/api/v0/instances/a%2F..%2Fb/");
}

RetryPolicy attach_policy() { return {3, {404, 500, 503}, true}; }

TEST(AttachKeys, RetriesTransientFailuresAndGivesUpOnARefusal) {
  FakeMarket market;
  std::vector<Value> keys = {str_value("k1"), str_value("k2")};
  market.fail(api_error(404));
  market.answer(map_of({{"success", bool_value(true)}}));
  market.answer(map_of(
      {{"success", bool_value(false)}, {"msg", str_value("This key is ALREADY Associated")}}));
  EXPECT_TRUE(attach_ssh_keys(kBase, "42", keys, attach_policy(), market));
  EXPECT_EQ(market.slept, (std::vector<long long>{1}));
  ASSERT_EQ(market.warnings.size(), 1u);
  EXPECT_EQ(market.warnings[0],
            "vast: ssh-key attach attempt 1/3 failed for instance %s key 1/2; retrying in 1s");
  EXPECT_EQ(market.sent.at(0).url, "http://h/api/v0/instances/42/ssh/");
  EXPECT_EQ(market.sent.at(0).body->at("ssh_key").text, "k1");

  market = FakeMarket();
  for (int i = 0; i < 3; ++i) market.fail(api_error(std::nullopt));
  market.fail(api_error(401));
  EXPECT_FALSE(attach_ssh_keys(kBase, "42", keys, attach_policy(), market));
  EXPECT_EQ(market.slept, (std::vector<long long>{1, 2}));
  EXPECT_EQ(market.sent.size(), 4u);  // key 2's 401 is not tried again
  EXPECT_EQ(market.warnings.back(),
            "vast: per-instance ssh-key attach failed for instance %s key 2/2; relying on "
            "onstart/PUBLIC_KEY fallback");

  market = FakeMarket();
  market.answer(map_of({{"success", int_value(1)}}));  // not the boolean true
  EXPECT_FALSE(attach_ssh_keys(kBase, "42", {str_value("k")}, attach_policy(), market));
  EXPECT_TRUE(market.slept.empty());

  PortError interrupted;
  interrupted.ordinary = false;
  market.fail(interrupted);
  EXPECT_THROW(attach_ssh_keys(kBase, "42", {str_value("k")}, attach_policy(), market), PortError);
}

TEST(Terminate, RetriesTransientStatusesAndAcceptsAMissingInstanceOnlyWhenAsked) {
  RetryPolicy policy{4, {409, 503}, false};
  FakeMarket market;
  for (int i = 0; i < 3; ++i) market.fail(api_error(503));
  terminate_instance(kBase, "9", policy, true, market);
  EXPECT_EQ(market.slept, (std::vector<long long>{1, 2, 4}));
  EXPECT_EQ(market.sent.at(0).method, "DELETE");
  EXPECT_EQ(market.warnings.at(0),
            "vast: terminate attempt 1/4 failed for instance %s with status 503; retrying in 1s");

  auto fails_with = [&](std::optional<long long> status) -> std::optional<long long> {
    try {
      terminate_instance(kBase, "9", policy, false, market);
    } catch (const PortError& e) {
      EXPECT_EQ(e.status, status);
      return e.status;
    }
    return 12345;
  };
  market = FakeMarket();
  for (int i = 0; i < 4; ++i) market.fail(api_error(503));
  EXPECT_EQ(fails_with(503), 503);
  EXPECT_EQ(market.sent.size(), 4u);
  for (std::optional<long long> status :
       {std::optional<long long>(404), std::optional<long long>(400), std::optional<long long>()}) {
    market = FakeMarket();
    market.fail(api_error(status));
    EXPECT_EQ(fails_with(status), status);  // once, no retry
    EXPECT_EQ(market.sent.size(), 1u);
  }
  market = FakeMarket();
  market.fail(api_error(404));
  terminate_instance(kBase, "9", policy, true, market);  // already gone
  EXPECT_TRUE(market.slept.empty());
}

}  // namespace
}  // namespace corvane::vast
