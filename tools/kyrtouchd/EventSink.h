// Where the bridge's input devices go: uinput through libevdev, or a dry run
// that prints each device and its events in evemu's text format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kyrtouch {

struct AbsAxis {
    uint16_t nCode = 0;
    int nMin = 0;
    int nMax = 0;
    int nFuzz = 0;
    int nFlat = 0;
    int nResolution = 0;
};

// What an input device is: identity and capabilities.
struct DeviceSetup {
    std::string szName;
    uint16_t nBusType = 0x03; // BUS_USB
    uint16_t nVendor = 0;
    uint16_t nProduct = 0;
    uint16_t nVersion = 0;
    std::vector<uint16_t> props;
    std::vector<std::pair<uint16_t, uint16_t>> events; // type, code; EV_ABS codes come from axes
    std::vector<AbsAxis> axes;
};

// One created input device; destroying the object removes it. Owned by the
// bridge, which writes to it only under its own lock.
class IEventDevice {
public:
    virtual ~IEventDevice() = default;
    virtual void Write(uint16_t nType, uint16_t nCode, int32_t nValue) = 0;
};

// Thread-safe: devices of one sink may be created and written from different
// threads (the read thread of the device, the main thread at shutdown).
class IEventSink {
public:
    virtual ~IEventSink() = default;
    // Null, with the reason in szError, when the device cannot be created.
    virtual std::unique_ptr<IEventDevice> Create(const DeviceSetup& setup, std::string& szError) = 0;
};

// Writes a device's events to a descriptor in `struct input_event` form, a
// frame at a time: events gather until SYN_REPORT and go out in one write(2)
// (uinput takes many events a write), which spares a system call per event.
// Does not own the descriptor.
class FdEventWriter : public IEventDevice {
public:
    explicit FdEventWriter(int fd) : m_fd(fd) { m_Pending.reserve(128); }
    void Write(uint16_t nType, uint16_t nCode, int32_t nValue) override;
    // Frames that could not be written (the descriptor refused them).
    long Failures() const { return m_nFailures; }

private:
    int m_fd;
    std::vector<unsigned char> m_Pending;
    long m_nFailures = 0;
};

// libevdev's uinput device (needs write access to /dev/uinput).
std::unique_ptr<IEventSink> MakeUinputSink();
// Prints to `out`: a device's description when it is created, then its
// events as "E: SEC.USEC TYPE CODE VALUE" lines, flushed after each
// SYN_REPORT. Output of several devices is told apart by a "# NAME" line
// wherever the writing device changes.
std::unique_ptr<IEventSink> MakeEvemuSink(FILE* out);

} // namespace kyrtouch
