#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../line_splitter.hpp"

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

}  // namespace
}  // namespace corvane::monitor
