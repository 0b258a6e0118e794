#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "../line_splitter.hpp"
#include "../loss_watch.hpp"
#include "../output_parser.hpp"

namespace corvane::monitor {
namespace {

std::vector<std::string> lines_of(const LineBatch& batch) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < batch.size(); ++i) out.emplace_back(batch.line(i));
  return out;
}

std::vector<std::string> split(const std::vector<std::string>& chunks, std::size_t max = 1 << 20) {
  LineSplitter splitter(max);
  LineBatch batch;
  for (const auto& c : chunks) splitter.feed(c, batch);
  splitter.finish(batch);
  return lines_of(batch);
}

using Lines = std::vector<std::string>;

TEST(LineSplitter, UniversalNewlinesAcrossChunkEdges) {
  EXPECT_EQ(split({"a\nb\r\nc\rd"}), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(split({"a\r", "\nb\r", "", "\n"}), (Lines{"a", "b"}));
  EXPECT_EQ(split({"a\r", "\r", "b"}), (Lines{"a", "", "b"}));
  EXPECT_EQ(split({"", "x", "y", "\n\n"}), (Lines{"xy", ""}));
  EXPECT_EQ(split({}), Lines{});
}

TEST(LineSplitter, AnEndlessLineIsCutAtTheBound) {
  Lines lines = split({std::string(10, 'a'), std::string(10, 'b'), "\n"}, 8);
  std::string joined;
  for (const auto& l : lines) {
    EXPECT_LE(l.size(), 8u);
    joined += l;
  }
  EXPECT_EQ(joined, std::string(10, 'a') + std::string(10, 'b'));
}

TEST(LossWatch, QuietOnANoisyFallingLossLoudOnABlowUp) {
  LossWatch watch(10.0);
  // A loss falling from 2.5 with noise of +-60 %: never ten times its median.
  for (int i = 0; i < 300; ++i) {
    double loss = 2.5 / (1 + i / 30.0) * (1.0 + 0.6 * ((i * 7919) % 11 - 5) / 5.0);
    EXPECT_FALSE(watch.add(loss)) << i;
  }
  EXPECT_FALSE(watch.add(std::nan("")));  // the NaN detector's
  auto spike = watch.add(1e4);
  ASSERT_TRUE(spike);
  EXPECT_EQ(spike->event_type, "loss_spike");
  EXPECT_GT(spike->details[2].second.f, 1000.0);  // the ratio
  // Too few losses seen to know the level: no judgement.
  LossWatch fresh(10.0);
  for (double loss : {0.1, 0.1, 50.0}) EXPECT_FALSE(fresh.add(loss));
  // The printed exponent counts for the level, though the loss sample leaves it out.
  OutputLineScan scan = scan_output_line("step 23 | loss: 5.3e+23 | grad_norm: 9");
  EXPECT_EQ(scan.loss, 5.3);
  EXPECT_EQ(scan.loss_value, 5.3e23);
}

}  // namespace
}  // namespace corvane::monitor
