#include "../rules.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace corvane::vast {
namespace {

OfferFacts offer(std::optional<std::int64_t> machine, std::optional<double> price) {
  return OfferFacts{machine, price};
}

TEST(RankOffers, PreferredMachinesComeFirstInPreferenceOrderUnlessTooDear) {
  std::vector<OfferFacts> offers = {offer(1, 1.0), offer(2, 1.2), offer(3, 1.4), offer(4, 2.0),
                                    offer(std::nullopt, 0.9)};
  // Preferred 4 is priced above 0.9 x 1.5, so it keeps its marketplace place.
  std::vector<std::size_t> order = rank_offers(offers, {3, 4, 2}, 1.5);
  EXPECT_EQ(order, (std::vector<std::size_t>{1, 0, 2, 3, 4}));
  // Not priced at all: no cap, preference alone decides.
  std::vector<OfferFacts> unpriced = {offer(1, std::nullopt), offer(2, std::nullopt)};
  EXPECT_EQ(rank_offers(unpriced, {2}, 1.5), (std::vector<std::size_t>{1, 0}));
  EXPECT_EQ(rank_offers(offers, {}, 1.5), (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace corvane::vast
