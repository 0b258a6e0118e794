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

TEST(Delivery, EachDistinctFindingOnce) {
  DeliveredFindings delivered;
  EXPECT_TRUE(delivered.first_time("xid_critical", "CRITICAL", "XID 79", "n1"));
  EXPECT_FALSE(delivered.first_time("xid_critical", "CRITICAL", "XID 79", "n1"));
  EXPECT_TRUE(delivered.first_time("xid_critical", "CRITICAL", "XID 79", "n2"));
  EXPECT_TRUE(delivered.first_time("xid_critical", "WARN", "XID 79", "n1"));
  EXPECT_TRUE(delivered.first_time("xid_critical", "CRITICAL", "XID 48", "n1"));
  // Fields are not run together: ("a", "bc") is not ("ab", "c").
  EXPECT_TRUE(delivered.first_time("a", "bc", "", ""));
  EXPECT_TRUE(delivered.first_time("ab", "c", "", ""));
}

TEST(Delivery, RecoveryIsAskedForByTheFirstCriticalFinding) {
  EXPECT_EQ(recovery_trigger({{"WARN", "output_stall"}, {"INFO", "telemetry_ready"}}),
            std::nullopt);
  auto trigger = recovery_trigger({{"WARN", "output_stall"},
                                   {"INFO", "telemetry_ready"},
                                   {"CRITICAL", "xid_critical"},
                                   {"CRITICAL", "ecc_dbe"},
                                   {"WARN", "output_stall"}});
  ASSERT_TRUE(trigger);
  EXPECT_EQ(trigger->first_critical, 2u);
  EXPECT_EQ(trigger->triggers,
            (std::vector<std::string>{"ecc_dbe", "output_stall", "xid_critical"}));
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
