#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "../finding_texts.hpp"
#include "../nvml_events.hpp"
#include "../nvml_readings.hpp"

namespace corvane::monitor {
namespace {

const EventMasks kMasks{8, 2, 4};  // xid, double-bit, single-bit

TEST(NvmlEvents, EventsAreRegisteredAndDecodedByTheirBits) {
  EXPECT_EQ(kMasks.wanted(0xFF), 14u);
  EXPECT_EQ(kMasks.wanted(1), 0u);
  struct Case {
    std::uint64_t type;
    EventKind kind;
  };
  for (const Case& c : std::vector<Case>{{8, EventKind::kXid},
                                         {2, EventKind::kDoubleBit},
                                         {4, EventKind::kIgnored},  // the counter has them
                                         {10, EventKind::kXid},
                                         {1, EventKind::kIgnored}}) {
    EXPECT_EQ(classify_event(c.type, kMasks), c.kind) << c.type;
  }
}

TEST(NvmlEvents, MigInstanceIdsOfAllOnesAreNone) {
  auto details = instance_details(2, 0);
  ASSERT_EQ(details.size(), 2u);
  EXPECT_STREQ(details[0].key, "gpu_instance_id");
  EXPECT_EQ(details[1].id, 0u);
  EXPECT_TRUE(instance_details(0xFFFFFFFF, std::nullopt).empty());
  EXPECT_EQ(event_wait_ms(0.25), 250);
  EXPECT_EQ(event_wait_ms(0.0001), 1);
}

TEST(NvmlEvents, AnEventFindsItsGpuByHandleThenByPointerValue) {
  EventDevices devices;
  devices.add({0, "18:00.0", 100, 0xA000});
  devices.add({1, std::nullopt, 200, std::nullopt});
  int asked = 0;
  auto address = [&](std::optional<std::uint64_t> a) {
    return [&asked, a] {
      ++asked;
      return a;
    };
  };
  EXPECT_EQ(devices.of_handle(200, address(0xA000))->index, 1);
  EXPECT_EQ(asked, 0);  // the same object needs no pointer value
  EXPECT_EQ(devices.of_handle(300, address(0xA000))->index, 0);
  EXPECT_EQ(devices.of_handle(300, address(std::nullopt)), nullptr);
  EXPECT_EQ(devices.of_handle(300, address(0xB000)), nullptr);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(devices.of_index(0)->pci_bus_id, "18:00.0");
  EXPECT_EQ(devices.of_index(7), nullptr);
}

TEST(NvmlEvents, ADoubleBitEventReadsAsTheCountersReport) {
  Finding known = ecc_event_finding(1, "19:00.0");
  EXPECT_EQ(known.summary, "GPU 1 reported a new uncorrectable ECC error");
  EXPECT_EQ(known.details[1].second.text, "19:00.0");
  Finding unknown = ecc_event_finding(std::nullopt, std::nullopt);
  EXPECT_EQ(unknown.summary, "GPU reported a new uncorrectable ECC error");
  EXPECT_EQ(unknown.details[0].second.kind, DetailValue::kNone);
}

// A GPU with scripted answers: links that are up, down or fail, counters that fail.
struct FakeGpu {
  std::set<long> up, failing_state;
  std::set<std::pair<long, std::size_t>> failing_counter;
  std::optional<bool> active(long link) const {
    if (failing_state.count(link)) return std::nullopt;
    return up.count(link) > 0;
  }
  std::optional<int> read(long link, std::size_t c) const {
    if (failing_counter.count({link, c})) return std::nullopt;
    return static_cast<int>(link * 10 + static_cast<long>(c));
  }
};

std::map<long, std::vector<std::string>> read_all(const FakeGpu& gpu, long links,
                                                  const std::vector<bool>& known) {
  std::map<long, std::vector<std::string>> out;
  auto errors = read_nvlink_errors<int>(
      links, known, [&](long l) { return gpu.active(l); },
      [&](long l, std::size_t c) { return gpu.read(l, c); });
  for (const auto& link : errors) {
    for (const auto& [key, value] : link.counters) {
      out[link.link].push_back(std::string(key) + "=" + std::to_string(value));
    }
  }
  return out;
}

TEST(NvmlReadings, NvlinkCountersOfActiveLinksThatCanBeRead) {
  FakeGpu gpu;
  gpu.up = {0, 1, 2, 3};
  gpu.failing_state = {4};
  gpu.failing_counter = {{1, 0}, {2, 0}, {2, 1}, {2, 2}};
  std::vector<bool> all{true, true, true, true}, no_recovery{true, true, true, false};
  using Read = std::map<long, std::vector<std::string>>;
  EXPECT_EQ(read_all(gpu, 6, no_recovery),
            (Read{{0, {"replay=0", "crc_flit=1", "crc_data=2"}},
                  {1, {"crc_flit=11", "crc_data=12"}},
                  {3, {"replay=30", "crc_flit=31", "crc_data=32"}}}));
  EXPECT_EQ(read_all(gpu, 6, all).at(2), (std::vector<std::string>{"recovery=23"}));
  EXPECT_EQ(read_all(gpu, 1, all).size(), 1u);
  EXPECT_TRUE(read_all(gpu, 0, all).empty());
  EXPECT_TRUE(read_all(gpu, -3, all).empty());
}

TEST(NvmlReadings, EccCountsComeAsAPairAndReplaysOnTheirOwn) {
  auto read = [](std::optional<int> corrected, std::optional<int> uncorrected,
                 std::optional<int> replay) {
    return read_error_counters<int>([&](bool c) { return c ? corrected : uncorrected; },
                                    [&] { return replay; });
  };
  auto both = read(1, 2, 3);
  EXPECT_EQ(both.ecc_corrected, 1);
  EXPECT_EQ(both.ecc_uncorrected, 2);
  EXPECT_EQ(both.pcie_replay, 3);
  auto half = read(1, std::nullopt, 3);
  EXPECT_FALSE(half.ecc_corrected || half.ecc_uncorrected);
  EXPECT_EQ(half.pcie_replay, 3);
  auto none = read(std::nullopt, 2, std::nullopt);
  EXPECT_FALSE(none.ecc_corrected || none.ecc_uncorrected || none.pcie_replay);
  EXPECT_TRUE(names_lost_gpu("NVMLError_GpuIsLost(NVML_ERROR_GPU_IS_LOST)"));
  EXPECT_FALSE(names_lost_gpu("NVMLError(999)"));
}

}  // namespace
}  // namespace corvane::monitor
