// The pollable state of an emulated usbfs device node.
//
// libusb polls a device fd for POLLOUT, which the kernel raises while a URB
// can be reaped. umockdev forwards ioctls but not poll(), so the node in the
// testbed is a FIFO whose fullness we control: full means "nothing to reap"
// (no POLLOUT), empty means "reap now". A FIFO gives no POLLERR to a reader
// and writer, so a client learns of an unplug only from URB status and ENODEV.
#pragma once

#include <string>

namespace kyrsim {

class CNodeSignal {
public:
    /// Creates the FIFO at szPath (mode 0666) in the "nothing to reap" state.
    /// @throws std::system_error
    explicit CNodeSignal(const std::string& szPath);
    ~CNodeSignal();
    CNodeSignal(const CNodeSignal&) = delete;
    CNodeSignal& operator=(const CNodeSignal&) = delete;

    /// Not thread-safe; the owner serialises calls under its own lock.
    void Set(bool bReapable);

private:
    int m_fd = -1;
    bool m_bReapable = false;
};

}  // namespace kyrsim
