#include "nvml_readings.hpp"

namespace corvane::monitor {

const std::vector<NvlinkCounterName> kNvlinkCounters = {
    {"replay", {"NVML_NVLINK_ERROR_DL_REPLAY"}},
    {"crc_flit", {"NVML_NVLINK_ERROR_DL_CRC_FLIT"}},
    {"crc_data", {"NVML_NVLINK_ERROR_DL_CRC_DATA"}},
    {"recovery", {"NVML_NVLINK_ERROR_RECOVERY", "NVML_NVLINK_ERROR_DL_RECOVERY"}}};

const std::vector<const char*> kThrottleReasonQueries = {
    "nvmlDeviceGetCurrentClocksThrottleReasons", "nvmlDeviceGetCurrentClocksEventReasons"};

}  // namespace corvane::monitor
