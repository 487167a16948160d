// USB descriptors of an emulated device, as the kernel exposes them in the
// sysfs "descriptors" attribute: the device descriptor followed by every
// configuration descriptor with its interface and endpoint descriptors.
#pragma once

#include "Options.h"

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace kyrsim {

struct EndpointInfo {
    int nInterface = 0;
    uint8_t bmAttributes = 0;
    uint16_t wMaxPacketSize = 0;
};

struct ConfigurationInfo {
    uint8_t bConfigurationValue = 0;
    std::vector<int> interfaces;               // interface numbers, alternate setting 0
    std::map<uint8_t, EndpointInfo> endpoints;  // by endpoint address
};

/// Device with devSpec.nInterfaces HID interfaces; interface i has interrupt IN
/// endpoint 0x80 | (1 << i) and OUT endpoint 1 << i of 64 bytes, polled every
/// millisecond, as our library derives the endpoints from the interface number.
std::vector<uint8_t> BuildDescriptors(const DeviceSpec& devSpec);

/// Reads the first configuration. @throws std::invalid_argument when the
/// bytes are not a device descriptor followed by a configuration.
ConfigurationInfo DescribeConfiguration(std::span<const uint8_t> descriptors);

/// The HID report descriptor served for every interface of a generated
/// device: vendor-defined, report id 1, 63 data bytes in each direction.
std::span<const uint8_t> HidReportDescriptor();

/// Bytes of configuration number nIndex (0-based), or empty.
std::span<const uint8_t> ConfigurationBytes(std::span<const uint8_t> descriptors, int nIndex);

}  // namespace kyrsim
