// Plain libusb as a program under kyrsim uses it: owners that clean up, a
// device found by its place on the bus, and a host holding one interface.
#pragma once

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "Eventually.h"

namespace kyrsim::test {

using namespace std::chrono_literals;
using kyrtest::Eventually;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t InEndpoint(int nInterface) { return static_cast<uint8_t>(0x80 | 1 << nInterface); }
constexpr uint8_t OutEndpoint(int nInterface) { return static_cast<uint8_t>(1 << nInterface); }

template <auto fnFree>
struct Deleter {
    template <typename T>
    void operator()(T* p) const { fnFree(p); }
};
using Context = std::unique_ptr<libusb_context, Deleter<libusb_exit>>;
using Handle = std::unique_ptr<libusb_device_handle, Deleter<libusb_close>>;
using Device = std::unique_ptr<libusb_device, Deleter<libusb_unref_device>>;

inline Context MakeContext()
{
    libusb_context* p = nullptr;
    return Context(libusb_init(&p) == 0 ? p : nullptr);
}

// nullptr when no device sits at that place.
inline Device FindDevice(libusb_context* pContext, int nBus, int nAddress)
{
    libusb_device** list = nullptr;
    const ssize_t nCount = libusb_get_device_list(pContext, &list);
    Device found;
    for (ssize_t i = 0; i < nCount; ++i) {
        if (libusb_get_bus_number(list[i]) == nBus && libusb_get_device_address(list[i]) == nAddress)
            found.reset(libusb_ref_device(list[i]));
    }
    if (nCount >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

inline Handle Open(libusb_context* pContext, int nBus, int nAddress)
{
    const Device device = FindDevice(pContext, nBus, nAddress);
    libusb_device_handle* p = nullptr;
    return Handle(device && libusb_open(device.get(), &p) == 0 ? p : nullptr);
}

// One interrupt transfer: 0 or the libusb error, a short write being an I/O
// error. An IN transfer leaves what arrived in `bytes`.
inline int Interrupt(libusb_device_handle* pHandle, uint8_t bEndpoint, Bytes& bytes, unsigned nTimeoutMs = 5000)
{
    const bool bIn = (bEndpoint & 0x80) != 0;
    if (pHandle == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    if (bIn)
        bytes.assign(64, 0);
    int n = 0;
    const int nResult =
        libusb_interrupt_transfer(pHandle, bEndpoint, bytes.data(), static_cast<int>(bytes.size()), &n, nTimeoutMs);
    if (bIn)
        bytes.resize(static_cast<size_t>(n));
    return nResult != 0 || bIn || n == static_cast<int>(bytes.size()) ? nResult : LIBUSB_ERROR_IO;
}

// A program with its own context and one claimed interface of one device.
class CHost {
public:
    CHost(int nBus, int nAddress, int nInterface = 0) : m_context(MakeContext()), m_nInterface(nInterface)
    {
        if (m_context)
            m_handle = Open(m_context.get(), nBus, nAddress);
        if (m_handle && libusb_claim_interface(m_handle.get(), nInterface) != 0)
            m_handle.reset();
    }
    ~CHost()
    {
        if (m_handle)
            libusb_release_interface(m_handle.get(), m_nInterface);
    }

    bool Ok() const { return m_handle != nullptr; }
    libusb_context* Ctx() const { return m_context.get(); }
    libusb_device_handle* Get() const { return m_handle.get(); }

    int Write(Bytes report) { return Interrupt(Get(), OutEndpoint(m_nInterface), report); }

    // One IN report, or nothing within the time.
    std::optional<Bytes> Read(std::chrono::milliseconds timeout)
    {
        const auto nMs = static_cast<unsigned>(std::max<long>(1, timeout.count()));
        Bytes r;
        return Interrupt(Get(), InEndpoint(m_nInterface), r, nMs) == 0 ? std::optional(r) : std::nullopt;
    }
    // A device model's report: 64 bytes, anything else counts as none.
    std::optional<Bytes> ReadReport(std::chrono::milliseconds timeout)
    {
        std::optional<Bytes> r = Read(timeout);
        return r && r->size() == 64 ? r : std::nullopt;
    }

private:  // not copied: the owners are unique
    Context m_context;  // destroyed after the handle
    Handle m_handle;
    int m_nInterface;
};

}  // namespace kyrsim::test
