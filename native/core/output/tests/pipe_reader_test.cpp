#include "../pipe_reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../output_findings.hpp"

namespace corvane::monitor {
namespace {

struct Collected {
  std::vector<std::string> lines;
  int losses = 0;
  BatchSink sink() {
    return [this](const LineBatch& batch, const std::vector<OutputLineScan>& scans) {
      ASSERT_EQ(batch.size(), scans.size());
      for (std::size_t i = 0; i < batch.size(); ++i) {
        lines.emplace_back(batch.line(i));
        losses += scans[i].has_loss;
      }
    };
  }
};

TEST(ReadPipe, EveryLineToTheEndOfTheStreamWithItsScan) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string text = "step 1 loss=0.5\r\nhello\npartial";
  ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  std::atomic<bool> stop{false};
  Collected got;
  EXPECT_EQ(read_pipe(fds[0], stop, got.sink()), 0);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"step 1 loss=0.5", "hello", "partial"}));
  EXPECT_EQ(got.losses, 1);
}

TEST(ReadPipe, AfterAStopItDrainsWhatIsThereAndLeavesAPipeHeldOpen) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "tail\n", 5), 5);
  std::atomic<bool> stop{true};  // the writer stays open, as a process left behind would
  Collected got;
  EXPECT_EQ(read_pipe(fds[0], stop, got.sink()), 0);
  EXPECT_EQ(got.lines, std::vector<std::string>{"tail"});
  ::close(fds[1]);
}

TEST(ReadPipe, ABadDescriptorIsReportedNotRead) {
  std::atomic<bool> stop{false};
  Collected got;
  EXPECT_NE(read_pipe(-1, stop, got.sink()), 0);
  EXPECT_TRUE(got.lines.empty());
}

TEST(OutputBounds, TrimInChunksExactlyAtTheEnd) {
  EXPECT_EQ(entries_to_drop(1'000'000, -1, true), 0u);
  EXPECT_EQ(entries_to_drop(100 + 1024, 100, false), 0u);  // within the slack
  EXPECT_EQ(entries_to_drop(100 + 1025, 100, false), 1025u);
  EXPECT_EQ(entries_to_drop(10'000 + 2'501, 10'000, false), 2'501u);  // slack: a quarter
  EXPECT_EQ(entries_to_drop(10'000 + 2'500, 10'000, false), 0u);
  EXPECT_EQ(entries_to_drop(101, 100, true), 1u);
  EXPECT_EQ(entries_to_drop(100, 100, true), 0u);
}

TEST(Echo, Utf8NamesInAnySpelling) {
  for (const char* name : {"utf-8", "UTF-8", "utf8", "UTF_8", "Utf-_8"}) {
    EXPECT_TRUE(is_utf8_name(name)) << name;
  }
  for (const char* name : {"latin-1", "utf-16", "ascii", "", "utf-8-sig"}) {
    EXPECT_FALSE(is_utf8_name(name)) << name;
  }
}

TEST(OutputFindings, OneFindingPerSignatureInOrder) {
  OutputLineScan xid;
  xid.xid = true;
  xid.xid_critical = false;
  xid.xid_digits = "13";
  auto one = output_findings(xid);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].summary, "Detected XID 13 in job output");
  EXPECT_EQ(one[0].severity, "WARN");
  ASSERT_EQ(one[0].details.size(), 4u);  // the line, the code as its digits, class, action
  EXPECT_EQ(one[0].details[0].second.kind, DetailValue::kKept);
  EXPECT_EQ(one[0].details[1].second.kind, DetailValue::kDigits);
  EXPECT_EQ(one[0].details[1].second.text, "13");
  OutputLineScan all = xid;
  all.divergence = all.ecc_dbe = all.xid_critical = true;
  std::vector<std::string> order;
  for (const auto& f : output_findings(all)) order.emplace_back(f.event_type);
  EXPECT_EQ(order, (std::vector<std::string>{"training_divergence", "xid_critical", "ecc_dbe"}));
  EXPECT_EQ(output_findings(all)[1].severity, "CRITICAL");
  EXPECT_EQ(output_findings(all)[0].details.size(), 1u);
  EXPECT_TRUE(output_findings(OutputLineScan{}).empty());
}

}  // namespace
}  // namespace corvane::monitor
