#include "Descriptors.h"

#include <array>
#include <stdexcept>

namespace kyrsim {

namespace {

constexpr uint8_t DT_DEVICE = 1;
constexpr uint8_t DT_CONFIG = 2;
constexpr uint8_t DT_INTERFACE = 4;
constexpr uint8_t DT_ENDPOINT = 5;
constexpr uint8_t DT_HID = 0x21;
constexpr uint8_t DT_REPORT = 0x22;
constexpr uint8_t ENDPOINT_INTERRUPT = 3;
constexpr uint16_t REPORT_SIZE = 64;

constexpr std::array<uint8_t, 29> kHidReport = {
    0x06, 0x00, 0xFF,  // usage page: vendor defined
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x85, 0x01,        //   report id 1
    0x09, 0x01,        //   usage 1
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8 bits
    0x95, 0x3F,        //   report count 63
    0x81, 0x02,        //   input: data, variable, absolute
    0x09, 0x01,        //   usage 1
    0x95, 0x3F,        //   report count 63
    0x91, 0x02,        //   output: data, variable, absolute
    0xC0,              // end collection
};

void Put16(std::vector<uint8_t>& out, uint16_t wValue)
{
    out.push_back(static_cast<uint8_t>(wValue));
    out.push_back(static_cast<uint8_t>(wValue >> 8));
}

// Byte by byte: GCC 12 at -O2 warns falsely about vector::insert of an
// initializer list here.
void Put(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        out.push_back(b);
}

uint16_t Get16(std::span<const uint8_t> bytes, size_t nOffset)
{
    return static_cast<uint16_t>(bytes[nOffset] | (bytes[nOffset + 1] << 8));
}

}  // namespace

std::span<const uint8_t> HidReportDescriptor()
{
    return kHidReport;
}

std::vector<uint8_t> BuildDescriptors(const DeviceSpec& devSpec)
{
    std::vector<uint8_t> out = {18, DT_DEVICE};
    Put16(out, 0x0200);                  // bcdUSB
    Put(out, {0, 0, 0, 64});  // class, subclass, protocol per interface; ep0 size
    Put16(out, devSpec.wVendorId);
    Put16(out, devSpec.wProductId);
    Put16(out, 0x0100);                    // bcdDevice
    Put(out, {0, 0, 0, 1});  // no strings; one configuration

    const size_t nConfig = out.size();
    Put(out, {9, DT_CONFIG, 0, 0, static_cast<uint8_t>(devSpec.nInterfaces), 1, 0, 0x80, 50});
    for (int i = 0; i < devSpec.nInterfaces; ++i) {
        const uint8_t bEndpoint = static_cast<uint8_t>(1 << i);
        Put(out, {9, DT_INTERFACE, static_cast<uint8_t>(i), 0, 2, 3, 0, 0, 0});
        Put(out, {9, DT_HID, 0x11, 0x01, 0, 1, DT_REPORT});
        Put16(out, static_cast<uint16_t>(kHidReport.size()));
        Put(out, {7, DT_ENDPOINT, static_cast<uint8_t>(0x80 | bEndpoint), ENDPOINT_INTERRUPT});
        Put16(out, REPORT_SIZE);
        out.push_back(1);
        Put(out, {7, DT_ENDPOINT, bEndpoint, ENDPOINT_INTERRUPT});
        Put16(out, REPORT_SIZE);
        out.push_back(1);
    }
    const uint16_t wTotal = static_cast<uint16_t>(out.size() - nConfig);
    out[nConfig + 2] = static_cast<uint8_t>(wTotal);
    out[nConfig + 3] = static_cast<uint8_t>(wTotal >> 8);
    return out;
}

std::span<const uint8_t> ConfigurationBytes(std::span<const uint8_t> descriptors, int nIndex)
{
    size_t nOffset = descriptors.size() >= 18 ? descriptors[0] : descriptors.size();
    for (int i = 0; nOffset + 4 <= descriptors.size(); ++i) {
        const size_t nTotal = Get16(descriptors, nOffset + 2);
        if (descriptors[nOffset + 1] != DT_CONFIG || nTotal < 9 || nOffset + nTotal > descriptors.size())
            break;
        if (i == nIndex)
            return descriptors.subspan(nOffset, nTotal);
        nOffset += nTotal;
    }
    return {};
}

ConfigurationInfo DescribeConfiguration(std::span<const uint8_t> descriptors)
{
    if (descriptors.size() < 18 || descriptors[0] != 18 || descriptors[1] != DT_DEVICE)
        throw std::invalid_argument("descriptors do not start with a device descriptor");
    const auto config = ConfigurationBytes(descriptors, 0);
    if (config.empty())
        throw std::invalid_argument("descriptors hold no complete configuration descriptor");

    ConfigurationInfo info;
    info.bConfigurationValue = config[5];
    int nInterface = -1;
    bool bAltZero = false;
    for (size_t nOffset = config[0]; nOffset + 2 <= config.size();) {
        const uint8_t bLength = config[nOffset];
        if (bLength < 2 || nOffset + bLength > config.size())
            throw std::invalid_argument("malformed descriptor inside the configuration");
        const auto desc = config.subspan(nOffset, bLength);
        if (desc[1] == DT_INTERFACE && bLength >= 9) {
            nInterface = desc[2];
            bAltZero = desc[3] == 0;
            if (bAltZero)
                info.interfaces.push_back(nInterface);
        } else if (desc[1] == DT_ENDPOINT && bLength >= 7 && nInterface >= 0 && bAltZero) {
            info.endpoints[desc[2]] = EndpointInfo{nInterface, desc[3], Get16(desc, 4)};
        }
        nOffset += bLength;
    }
    if (info.interfaces.empty())
        throw std::invalid_argument("the configuration has no interface");
    return info;
}

}  // namespace kyrsim
