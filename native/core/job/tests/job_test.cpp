#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "../checks.hpp"
#include "../delivery.hpp"

namespace corvane::monitor {
namespace {

TEST(SilenceWatch, OneFindingPerSilenceAHangOnlyAfterProgress) {
  SilenceWatch watch(60.0);
  EXPECT_EQ(watch.check(159.0, 100.0, false), std::nullopt);
  auto stall = watch.check(161.0, 100.0, false);
  ASSERT_TRUE(stall);
  EXPECT_EQ(stall->event_type, "output_stall");
  EXPECT_EQ(stall->severity, "WARN");
  EXPECT_EQ(watch.check(500.0, 100.0, true), std::nullopt);  // the same silence
  auto hang = watch.check(400.0, 300.0, true);               // printed again, then silent
  ASSERT_TRUE(hang);
  EXPECT_EQ(hang->event_type, "training_hang");
  EXPECT_EQ(hang->severity, "CRITICAL");
  ASSERT_EQ(hang->details.size(), 3u);  // the configured timeout and grace, then the silence
  EXPECT_EQ(hang->details[0].second.kind, DetailValue::kKept);
  EXPECT_EQ(hang->details[1].second.i, 1);
  EXPECT_EQ(hang->details[2].first, "silence_s");
  EXPECT_EQ(hang->details[2].second.f, 100.0);
}

TEST(JobChecks, InventoryAndDisk) {
  EXPECT_TRUE(inventory_shrank(8, 7));
  EXPECT_FALSE(inventory_shrank(8, 8));
  EXPECT_FALSE(inventory_shrank(8, 9));
  EXPECT_FALSE(inventory_shrank(0, 0));  // nothing was known
  auto shrank = inventory_check(8, 7, true);
  ASSERT_TRUE(shrank);
  EXPECT_EQ(shrank->summary, "GPU inventory shrank during launch monitoring");
  EXPECT_EQ(shrank->details[1].first, "after");
  EXPECT_EQ(shrank->details[1].second.i, 7);
  EXPECT_FALSE(inventory_check(0, 7, false));
  EXPECT_TRUE(disk_check(0.5));
  EXPECT_EQ(disk_check(0.5)->event_type, "filesystem_lost");
  EXPECT_FALSE(disk_check(1.0));
  EXPECT_FALSE(disk_check(std::nan("")));
}

TEST(Delivery, EachDistinctFindingOnceThenCountedUntilItComesBackLater) {
  DeliveryBook book(600.0);
  auto sig = [](const char* type, const char* sev, const char* summary, const char* node) {
    return finding_signature(type, sev, summary, node);
  };
  EXPECT_TRUE(book.observe(sig("xid_critical", "CRITICAL", "XID 79", "n1"), 0).deliver);
  EXPECT_FALSE(book.observe(sig("xid_critical", "CRITICAL", "XID 79", "n1"), 5).deliver);
  EXPECT_TRUE(book.observe(sig("xid_critical", "CRITICAL", "XID 79", "n2"), 6).deliver);
  EXPECT_TRUE(book.observe(sig("xid_critical", "WARN", "XID 79", "n1"), 7).deliver);
  // Fields are not run together: ("a", "bc") is not ("ab", "c").
  EXPECT_TRUE(book.observe(sig("a", "bc", "", ""), 8).deliver);
  EXPECT_TRUE(book.observe(sig("ab", "c", "", ""), 8).deliver);
  EXPECT_EQ(book.deliveries()[0].count, 2u);
  EXPECT_EQ(book.deliveries()[0].last_seen, 5.0);
  EXPECT_EQ(book.take_unrecorded(), std::vector<std::size_t>{0});
  EXPECT_TRUE(book.take_unrecorded().empty());
  // Within the repeat time it is counted; past it, delivered again with a count of its own.
  EXPECT_FALSE(book.observe(sig("xid_critical", "CRITICAL", "XID 79", "n1"), 600).deliver);
  auto again = book.observe(sig("xid_critical", "CRITICAL", "XID 79", "n1"), 600.5);
  EXPECT_TRUE(again.deliver);
  EXPECT_EQ(book.deliveries()[0].count, 3u);
  EXPECT_EQ(book.deliveries()[again.delivery].count, 1u);
  EXPECT_EQ(book.observe(sig("xid_critical", "CRITICAL", "XID 79", "n1"), 601).delivery,
            again.delivery);
}

TEST(Delivery, EachNodeGetsAPlanOfItsOwnFindings) {
  RecoveryTrigger trigger;
  EXPECT_FALSE(trigger.add("n1", "WARN", "output_stall"));
  EXPECT_FALSE(trigger.add("n1", "INFO", "telemetry_ready"));
  EXPECT_FALSE(trigger.add("n2", "WARN", "phase_straggler"));
  EXPECT_FALSE(trigger.add("n2", "WARN", "thermal_warning"));
  EXPECT_FALSE(trigger.armed());
  EXPECT_TRUE(trigger.add("n2", "CRITICAL", "xid_critical"));
  EXPECT_FALSE(trigger.add("n2", "CRITICAL", "ecc_dbe"));  // already due
  EXPECT_TRUE(trigger.armed());
  EXPECT_EQ(trigger.take_due(), std::vector<std::string>{"n2"});
  // Stragglers and loss spikes are shown but are no reason; n1's findings are not n2's.
  EXPECT_EQ(trigger.triggers("n2"),
            (std::vector<std::string>{"ecc_dbe", "thermal_warning", "xid_critical"}));
  EXPECT_FALSE(trigger.add("n2", "CRITICAL", "xid_critical"));  // nothing new for n2
  EXPECT_TRUE(trigger.add("n2", "CRITICAL", "training_hang"));  // a new reason: planned again
  EXPECT_TRUE(trigger.add("n1", "CRITICAL", "training_hang"));
  EXPECT_EQ(trigger.take_due(), (std::vector<std::string>{"n2", "n1"}));
  EXPECT_EQ(trigger.triggers("n1"), (std::vector<std::string>{"output_stall", "training_hang"}));
  EXPECT_TRUE(trigger.take_due().empty());
}

TEST(Delivery, APlanIsExecutedOnlyInTheConfirmAndAutoModes) {
  EXPECT_TRUE(recovery_executes("confirm"));
  EXPECT_TRUE(recovery_executes("auto"));
  for (const char* mode : {"", "manual", "Auto", "confirm ", "none"}) {
    EXPECT_FALSE(recovery_executes(mode)) << mode;
  }
  EXPECT_EQ(recovery_plan_summary("gpu-07"), "Prepared recovery plan for gpu-07");
}

}  // namespace
}  // namespace corvane::monitor
