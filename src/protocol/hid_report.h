// The camera unit's HID reports, as the relay meets them on the hiddev node:
// one vendor-defined field (usage kHidVendorUsage) of kHidReportValues values
// in each direction, each value carrying one byte of the device protocol.
//
//   input report (unit to host):   values 0 to 5 payload bytes, value 6 the
//                                  count of valid ones, value 7 unused
//   output report (host to unit):  value 0 the count, values 1 to 7 the bytes
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kHidVendorUsage = 0xFF000001;  // usage page 0xFF00, usage 1

inline constexpr int kHidReportValues = 8;
inline constexpr int kHidPayloadMax = 6;                    // input report
inline constexpr int kHidCountIndex = kHidPayloadMax;       // input report
inline constexpr int kHidOutputMax = kHidReportValues - 1;  // output report

// The byte a value carries.
inline std::uint8_t hid_value_byte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

// The number of valid payload bytes an input report's count value gives. A
// count above kHidPayloadMax cannot be honoured: only that many values exist.
inline int hid_input_count(std::int32_t count_value) {
    int count = hid_value_byte(count_value);
    return count > kHidPayloadMax ? kHidPayloadMax : count;
}

// Fills the values of an input report with n (0 to kHidPayloadMax) bytes.
inline void hid_input_pack(const std::uint8_t *bytes, int n,
                           std::int32_t values[kHidReportValues]) {
    for (int i = 0; i < kHidReportValues; ++i)
        values[i] = 0;
    for (int i = 0; i < n; ++i)
        values[i] = bytes[i];
    values[kHidCountIndex] = n;
}

// Fills the values of an output report with n (0 to kHidOutputMax) bytes.
inline void hid_output_pack(const std::uint8_t *bytes, int n,
                            std::int32_t values[kHidReportValues]) {
    for (int i = 0; i < kHidReportValues; ++i)
        values[i] = 0;
    values[0] = n;
    for (int i = 0; i < n; ++i)
        values[1 + i] = bytes[i];
}

// The bytes of an output report; their number, or -1 when the count is not 1
// to kHidOutputMax.
inline int hid_output_unpack(const std::int32_t values[kHidReportValues],
                             std::uint8_t bytes[kHidOutputMax]) {
    int n = values[0];
    if (n < 1 || n > kHidOutputMax)
        return -1;
    for (int i = 0; i < n; ++i)
        bytes[i] = hid_value_byte(values[1 + i]);
    return n;
}
