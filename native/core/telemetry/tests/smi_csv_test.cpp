#include "../smi_csv.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "../../common/tests/recorded_fixture.hpp"
#include "../host_text.hpp"

namespace corvane::monitor {
namespace {

std::string recorded(const std::string& name) {
  return test_support::recorded_fixture("nvidia-smi/" + name);
}

std::vector<std::string> indices(const SmiRows& parsed) {
  std::vector<std::string> out;
  for (const SmiRow& r : parsed.rows) out.push_back(r.index);
  return out;
}

// The indices of the rows a reader would take: ten fields or more, the first a number.
std::vector<std::string> indices_by_hand(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (std::count(line.begin(), line.end(), ',') >= 9)
      out.push_back(std::to_string(std::stoll(line)));
  }
  return out;
}

TEST(SmiCsv, EveryRecordedMainAnswerGivesOneRowPerFullLine) {
  for (const char* name :
       {"h100x8-healthy", "h100x8-faults", "consumer-mixed-na", "old-driver-not-supported",
        "unknown-error", "driver-unreachable", "a100x4-short-rows"}) {
    std::string text = recorded(std::string(name) + ".main.csv");
    SmiRows parsed = parse_smi_main(text, {});
    EXPECT_EQ(indices(parsed), indices_by_hand(text)) << name;
    EXPECT_TRUE(parsed.skipped.empty()) << name;
  }
}

TEST(SmiCsv, RecordedFieldsBecomeNumbersAndMissingOnesNothing) {
  SmiRows healthy = parse_smi_main(recorded("h100x8-healthy.main.csv"),
                                   parse_smi_replay(recorded("h100x8-healthy.replay.csv")));
  ASSERT_EQ(healthy.rows.size(), 8u);
  const SmiRow& first = healthy.rows[0];
  EXPECT_EQ(first.pci_bus_id, "00000000:18:00.0");
  EXPECT_EQ(first.temperature_c, 34.0);
  EXPECT_EQ(first.power_draw_w, 612.34);
  EXPECT_EQ(first.throttle_reasons_text, "0x0000000000000000");
  EXPECT_EQ(healthy.rows[3].ecc_corrected, 2.0);
  EXPECT_EQ(healthy.rows[3].pcie_replay, 12.0);
  EXPECT_EQ(healthy.rows[4].pcie_replay, 0.0);

  SmiRow old = parse_smi_main(recorded("old-driver-not-supported.main.csv"), {}).rows.at(0);
  EXPECT_FALSE(old.power_draw_w || old.power_limit_w || old.ecc_corrected || old.ecc_uncorrected);
  EXPECT_EQ(old.memory_total_mb, 11178.0);
  EXPECT_FALSE(old.pcie_replay);  // no replay answer

  SmiRow unknown = parse_smi_main(recorded("unknown-error.main.csv"), {}).rows.at(0);
  EXPECT_FALSE(unknown.ecc_corrected || unknown.ecc_uncorrected);

  SmiRows short_rows = parse_smi_main(recorded("a100x4-short-rows.main.csv"), {});
  EXPECT_FALSE(short_rows.rows.at(0).ecc_uncorrected);  // ten fields: no uncorrected count
  EXPECT_EQ(short_rows.rows.at(1).ecc_uncorrected, 0.0);
}

TEST(SmiCsv, ReplayAnswers) {
  auto consumer = parse_smi_replay(recorded("consumer-mixed-na.replay.csv"));
  EXPECT_EQ(consumer, (ReplayCounters{{"0", 0.0}, {"1", 3.0}}));
  EXPECT_TRUE(parse_smi_replay(recorded("replay-field-unsupported.replay.csv")).empty());
  EXPECT_EQ(parse_smi_replay("2.9, 7.5\nnan, 1\n3, inf\n4\n-0.5, 1\n1e19, 2\n"),
            (ReplayCounters{{"2", 7.0}, {"0", 1.0}, {"10000000000000000000", 2.0}}));
}

TEST(SmiCsv, ARowWithoutAnIndexIsSkippedWithItsReasonAndTheOthersKept) {
  SmiRows parsed = parse_smi_main(
      "x, 00:01.0, 1, 2, 3, 4, 5, 6, 0x0, 0\n1_0, 00:02.0, 1, 2, 3, 4, 5, 6, 0x0, 0\n"
      "18446744073709551616, a, 1, 2, 3, 4, 5, 6, 0x0, 0\n1.5, b, 1, 2, 3, 4, 5, 6, 0x0, 0\n",
      {{"18446744073709551616", 4.0}});
  EXPECT_EQ(indices(parsed), (std::vector<std::string>{"10", "18446744073709551616"}));
  EXPECT_EQ(parsed.rows[1].pcie_replay, 4.0);  // a replay row of 2**64 as the tool's float
  EXPECT_EQ(parsed.skipped,
            (std::vector<std::string>{"no GPU index in 'x'", "no GPU index in '1.5'"}));
}

TEST(SmiCsv, FieldsAsNumbers) {
  struct Case {
    const char* text;
    std::optional<double> number;
  };
  for (const Case& c : std::vector<Case>{{" 41 ", 41.0},
                                         {"250.50", 250.5},
                                         {"[ 7 ]", 7.0},
                                         {"1_0.5", 10.5},
                                         {"-2e3", -2000.0},
                                         {".5", 0.5},
                                         {"1e-400", 0.0},
                                         {"[N/A]", std::nullopt},
                                         {"n/a", std::nullopt},
                                         {"N/A", std::nullopt},
                                         {"[Not Supported]", std::nullopt},
                                         {"[Unknown Error]", std::nullopt},
                                         {"", std::nullopt},
                                         {"[]", std::nullopt},
                                         {"0x40", std::nullopt},
                                         {"1__0", std::nullopt},
                                         {"1e", std::nullopt},
                                         {"1 0", std::nullopt}}) {
    EXPECT_EQ(smi_number(c.text), c.number) << c.text;
  }
  EXPECT_TRUE(std::isinf(smi_number("1e400").value_or(0)));
  EXPECT_TRUE(std::isnan(smi_number("NaN").value_or(0)));
  // Counters: finite only, truncated toward zero.
  EXPECT_EQ(smi_counter("7.9"), 7.0);
  EXPECT_EQ(smi_counter("-7.9"), -7.0);
  EXPECT_EQ(smi_counter("nan"), std::nullopt);
  EXPECT_EQ(smi_counter("-Infinity"), std::nullopt);
  EXPECT_EQ(smi_counter("1e400"), std::nullopt);
}

TEST(HostText, LinesFieldsAndIntegersAsTheHostReadsThem) {
  using Lines = std::vector<std::string_view>;
  EXPECT_EQ(split_lines("a\r\nb\rc\n\nd\x0b"
                        "e\xc2\x85"
                        "f\xe2\x80\xa8g\n"),
            (Lines{"a", "b", "c", "", "d", "e", "f", "g"}));
  EXPECT_EQ(split_lines(""), Lines{});
  EXPECT_EQ(strip_space("\xc2\xa0\t 41\xe3\x80\x80 "), "41");
  EXPECT_EQ(strip_space("\xe3\x80\x81"), "\xe3\x80\x81");  // an ideographic comma stays
  EXPECT_EQ(split_fields(" a , b,,c "), (Lines{"a", "b", "", "c"}));
  struct Case {
    const char* text;
    std::optional<std::string> value;
  };
  for (const Case& c : std::vector<Case>{{"01", "1"},
                                         {"+3", "3"},
                                         {" -0 ", "0"},
                                         {"-007", "-7"},
                                         {"1_0", "10"},
                                         {"18446744073709551616", "18446744073709551616"},
                                         {"1__0", std::nullopt},
                                         {"_1", std::nullopt},
                                         {"1_", std::nullopt},
                                         {"1.0", std::nullopt},
                                         {"0x1", std::nullopt},
                                         {"-", std::nullopt},
                                         {"", std::nullopt}}) {
    EXPECT_EQ(parse_host_int(c.text), c.value) << c.text;
  }
  EXPECT_EQ(whole_number_text(-0.0), "0");
  EXPECT_EQ(whole_number_text(-3.0), "-3");
  EXPECT_EQ(whole_number_text(18446744073709551616.0), "18446744073709551616");
}

TEST(SmiCsv, ToolAnswersThatAreNoAnswer) {
  ToolVerdict hung = judge_tool_answer(true, false, true, "0", true, 15);
  EXPECT_FALSE(hung.usable);
  EXPECT_TRUE(hung.timed_out);
  EXPECT_EQ(hung.reason, "no answer within 15 s");
  ToolVerdict cancelled = judge_tool_answer(false, true, false, "-9", false, 10);
  EXPECT_FALSE(cancelled.usable);
  EXPECT_EQ(cancelled.reason, "");
  EXPECT_EQ(judge_tool_answer(false, false, false, "9", true, 15).reason, "exited with status 9");
  EXPECT_EQ(judge_tool_answer(false, false, true, "0", false, 15).reason, "printed nothing");
  EXPECT_TRUE(judge_tool_answer(false, false, true, "0", true, 15).usable);
}

}  // namespace
}  // namespace corvane::monitor
