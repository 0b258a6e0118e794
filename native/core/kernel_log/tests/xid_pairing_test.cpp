#include "../xid_pairing.hpp"

#include <gtest/gtest.h>

namespace corvane::monitor {
namespace {

constexpr auto kLog = XidSource::kKernelLog;
constexpr auto kNvml = XidSource::kNvml;

TEST(XidPairing, TheOtherSourcesReportOfOneXidWithinTheWindowIsDropped) {
  XidPairing pairing;
  int job = 0;
  pairing.open(&job);
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, kLog, 100.0, 60.0));
  EXPECT_FALSE(pairing.admit(&job, "3b:00.0", 79, kNvml, 110.0, 60.0));  // its pair
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, kNvml, 111.0, 60.0));   // a second Xid
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, kNvml, 112.0, 60.0));   // one source: never paired
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 48, kLog, 112.0, 60.0));    // another code
  EXPECT_TRUE(pairing.admit(&job, "3c:00.0", 79, kLog, 112.0, 60.0));    // another GPU
  EXPECT_FALSE(pairing.admit(&job, "3b:00.0", 79, kLog, 170.0, 60.0));   // answers the NVML one
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, kLog, 300.0, 60.0));    // the rest went stale
  EXPECT_TRUE(pairing.admit(&job, "3b:00.0", 79, kNvml, 400.0, 60.0));   // window passed
}

TEST(XidPairing, JobsAreApartAndAClosedJobLeavesNothingBehind) {
  XidPairing pairing;
  int a = 0, b = 0;
  pairing.open(&a);
  pairing.open(&a);  // its two watchers
  pairing.open(&b);
  EXPECT_TRUE(pairing.admit(&a, "3b:00.0", 79, kLog, 100.0, 60.0));
  EXPECT_TRUE(pairing.admit(&b, "3b:00.0", 79, kNvml, 100.0, 60.0));  // another job's GPU
  pairing.close(&a);                                                  // one watcher still open
  EXPECT_FALSE(pairing.admit(&a, "3b:00.0", 79, kNvml, 101.0, 60.0));
  EXPECT_TRUE(pairing.admit(&a, "3b:00.0", 79, kLog, 102.0, 60.0));
  pairing.close(&a);
  pairing.open(&a);  // a later job with the same key starts clean
  EXPECT_TRUE(pairing.admit(&a, "3b:00.0", 79, kNvml, 103.0, 60.0));
}

TEST(XidPairing, TheGpuKeyIsOneFormOfItsAddress) {
  EXPECT_EQ(xid_gpu_key("0000:3b:00.0", 0, false), "3b:00.0");
  EXPECT_EQ(xid_gpu_key("00000000:3b:00.0", 0, false), "3b:00.0");
  EXPECT_EQ(xid_gpu_key("0009:01:00.0", 0, false), xid_gpu_key("00000009:01:00.0", 0, false));
  EXPECT_EQ(xid_gpu_key("", 3, true), "index:3");
  EXPECT_EQ(xid_gpu_key("", 0, false), "");
}

}  // namespace
}  // namespace corvane::monitor
