#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../line_splitter.hpp"
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

TEST(LineSplitter, BatchTextAndTerminalText) {
  LineSplitter splitter;
  LineBatch batch;
  splitter.feed("50%\r100%\ndone\n", batch);
  EXPECT_EQ(batch.text(), "50%\n100%\ndone\n");
  EXPECT_EQ(batch.terminal_text(), "50%\r100%\ndone\n");
}

TEST(DecodeUtf8, InvalidBytesBecomeReplacementCharacters) {
  auto decode = [](std::string_view bytes) {
    std::string out;
    decode_utf8_replace(bytes, out);
    return out;
  };
  const std::string fffd = "\xef\xbf\xbd";
  EXPECT_EQ(decode("ok \xc3\xa9"), "ok \xc3\xa9");
  EXPECT_EQ(decode("\xff"), fffd);
  EXPECT_EQ(decode("\xe2\x82"), fffd);                    // a truncated sequence is one replacement
  EXPECT_EQ(decode("\xed\xa0\x80"), fffd + fffd + fffd);  // an encoded surrogate is not UTF-8
  EXPECT_EQ(decode("\xc0\xaf"), fffd + fffd);             // nor is an overlong form
}

TEST(OutputLineScan, FaultSignaturesAndSamples) {
  OutputLineScan s = scan_output_line("step 10 | loss: 2.5 | step_time: 0.25s");
  EXPECT_TRUE(s.has_loss);
  EXPECT_EQ(s.loss, 2.5);
  EXPECT_TRUE(s.has_step_time);
  EXPECT_EQ(s.step_time, 0.25);
  EXPECT_FALSE(s.any_finding());

  s = scan_output_line("driver said XID error 079 on gpu 3");
  EXPECT_TRUE(s.xid);
  EXPECT_EQ(s.xid_digits, "79");
  EXPECT_TRUE(s.xid_critical);

  EXPECT_FALSE(scan_output_line("xid 13").xid_critical);
  EXPECT_TRUE(scan_output_line("ECC error: uncorrectable").ecc_dbe);
  EXPECT_TRUE(scan_output_line("loss: nan").divergence);
  EXPECT_FALSE(scan_output_line("financial report").divergence);
  EXPECT_FALSE(scan_output_line("").any_finding());
}

TEST(OutputLineScan, AdversarialRepetitionStaysFast) {
  std::string line;
  for (int i = 0; i < 200000; ++i) line += "ecc ";
  EXPECT_FALSE(scan_output_line(line).ecc_dbe);
}

}  // namespace
}  // namespace corvane::monitor
