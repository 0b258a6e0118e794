#include "../requests.hpp"

#include <gtest/gtest.h>

#include "../../common/tests/recorded_fixture.hpp"

namespace corvane::vast {
namespace {

std::string recorded(const std::string& name) {
  return test_support::recorded_fixture("marketplace/" + name);
}

TEST(Urls, RetiredListingFallsBackToV1OnlyForThatAnswer) {
  std::string retired = recorded("error-deprecated-endpoint.json");
  ASSERT_NE(retired.find("deprecated_endpoint"), std::string::npos);
  const std::string v0 = "http://h/api/v0/instances/";
  EXPECT_EQ(listing_fallback_url(v0, 410, retired), "http://h/api/v1/instances/");
  EXPECT_EQ(listing_fallback_url(v0, 400, retired), std::nullopt);
  EXPECT_EQ(listing_fallback_url(v0, std::nullopt, retired), std::nullopt);
  EXPECT_EQ(listing_fallback_url(v0, 410, recorded("error-invalid-args.json")), std::nullopt);
  EXPECT_EQ(listing_fallback_url("http://h/v2/instances/", 410, retired), std::nullopt);
  // Only the last /api/v0/ is the API's own.
  EXPECT_EQ(listing_fallback_url("http://h/api/v0/x/api/v0/instances/", 410, retired),
            "http://h/api/v0/x/api/v1/instances/");
}

TEST(OfferSearch, EntriesAndTheirConditions) {
  auto fields = [](const std::vector<QueryEntry>& entries) {
    std::string out;
    for (const auto& e : entries) out += std::string(e.field) + ":" + std::string(e.op) + " ";
    return out;
  };
  const std::string base =
      "type: rentable:eq rented:eq gpu_name:in num_gpus:eq reliability:gte inet_down:gte "
      "cuda_max_good:gte direct_port_count:gte order: limit: ";
  EXPECT_EQ(fields(offer_query(false, false)), base);
  EXPECT_EQ(fields(offer_query(true, false)), base + "disk_space:gte ");
  EXPECT_EQ(fields(offer_query(false, true)), base + "geolocation:in ");
  EXPECT_EQ(fields(offer_query(true, true)), base + "disk_space:gte geolocation:in ");
}

}  // namespace
}  // namespace corvane::vast
