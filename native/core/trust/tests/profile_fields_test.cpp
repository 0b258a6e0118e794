#include "../profile_fields.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane::trust {
namespace {

// A value described by its answers; counts the questions so that laziness is checked.
struct FakeValue final : ValueProbe {
  bool none = false, boolean = false, count = false, real = false, finite = false;
  int asked = 0, asked_finite = 0;
  bool is_none() override { return ++asked, none; }
  bool is_bool() override { return ++asked, boolean; }
  bool is_count() override { return ++asked, count; }
  bool is_real() override { return ++asked, real; }
  bool is_finite() override { return ++asked, ++asked_finite, finite; }
};

using Kind = OverrideProblem::Kind;

TEST(OverrideProblem, EachFieldKindTakesOnlyItsValues) {
  FakeValue finite_number;
  finite_number.real = finite_number.finite = true;
  EXPECT_FALSE(override_problem("tdp_watts", finite_number, "700.0"));
  EXPECT_FALSE(override_problem("nvlink_expected_bw_gbps", finite_number, "1.0"));

  FakeValue nan;
  nan.real = true;
  auto p = override_problem("tdp_watts", nan, "nan");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, Kind::kValue);
  EXPECT_EQ(p->message, "expected a finite number, got nan");
  p = override_problem("nvlink_warn_bw_gbps", nan, "inf");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->message, "expected a finite number or None, got inf");

  FakeValue text;  // answers no to everything
  p = override_problem("matmul_size", text, "'8192'");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, Kind::kType);
  EXPECT_EQ(p->message, "expected a whole number >= 0, got '8192'");
  EXPECT_EQ(text.asked_finite, 0);  // finiteness is asked of real numbers only

  FakeValue fraction;  // a real number that is not a count: the value is wrong, not its type
  fraction.real = fraction.finite = true;
  p = override_problem("pcie_expected_gen", fraction, "4.5");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, Kind::kValue);

  FakeValue none;
  none.none = true;
  EXPECT_FALSE(override_problem("has_ecc", none, "None"));
  p = override_problem("has_ecc", text, "'yes'");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->message, "expected true, false or None, got 'yes'");
}

TEST(OverrideProblem, IdentityFieldsAreIgnoredAndUnknownKeysNamed) {
  FakeValue anything;
  for (const char* identity : {"name", "match_substrings", "vendor"}) {
    EXPECT_FALSE(override_problem(identity, anything, "x")) << identity;
  }
  EXPECT_EQ(anything.asked, 0);
  auto p = override_problem("tdp", anything, "1");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, Kind::kValue);
  EXPECT_EQ(
      p->message.rfind("not a GPUProfile field (expected one of: nvlink_expected_bw_gbps, ", 0),
      0u);
  EXPECT_EQ(p->message.find("vendor"), std::string::npos);
  p = override_problem(std::nullopt, anything, "3");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->kind, Kind::kType);
  EXPECT_EQ(override_error("1", *p), "GPU profile override 1: expected a field name (text), got 3");
}

TEST(Shown, CutsLongTextsByCharactersNotBytes) {
  EXPECT_EQ(shown(std::string(80, 'a')), std::string(80, 'a'));
  EXPECT_EQ(shown(std::string(81, 'a')), std::string(77, 'a') + "...");
  std::string wide;
  for (int i = 0; i < 81; ++i) wide += "\xc3\xa9";  // é, two bytes each
  std::string cut;
  for (int i = 0; i < 77; ++i) cut += "\xc3\xa9";
  EXPECT_EQ(shown(wide), cut + "...");
  EXPECT_EQ(shown(wide.substr(0, 160)), wide.substr(0, 160));
}

TEST(DescribeProfile, NamesEveryFigureAndTheMissingOnes) {
  ProfileSummary s{"NVIDIA H100 80GB HBM3", "H100 SXM", "700", "990", "3350", "900", true};
  EXPECT_EQ(describe_profile(s),
            "GPU: NVIDIA H100 80GB HBM3 (detected profile: H100 SXM) | Reference target: 700 "
            "TFLOPS | Peak FP16: 990 TFLOPS | 3350 GB/s memory | 900 GB/s NVLink | ECC: yes");
  s.nvlink.reset();
  s.has_ecc = false;
  EXPECT_NE(describe_profile(s).find("| no NVLink baseline | ECC: no"), std::string::npos);
  s.has_ecc.reset();
  EXPECT_NE(describe_profile(s).find("ECC: unknown"), std::string::npos);
}

}  // namespace
}  // namespace corvane::trust
