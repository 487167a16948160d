// The umockdev testbed: sysfs entries and device nodes of the emulated devices.
#pragma once

#include "Descriptors.h"
#include "Options.h"

#include <string>
#include <utility>
#include <vector>
#include <umockdev.h>

namespace kyrsim {

class CTestbed {
public:
    /// Creates the testbed directory and sets UMOCKDEV_DIR in this process,
    /// so that children started afterwards find it.
    CTestbed();
    ~CTestbed();
    CTestbed(const CTestbed&) = delete;
    CTestbed& operator=(const CTestbed&) = delete;

    const std::string& RootDir() const { return m_szRoot; }

    /// Creates the parent directory of the device's node, which is left to
    /// the caller (see CNodeSignal).
    void MakeNodeDir(const DeviceSpec& devSpec);

    /// Adds the sysfs device "<bus>-<port>" with its interfaces
    /// "<bus>-<port>:<configuration>.<interface>", announces it with an "add"
    /// uevent and returns its sysfs path. Call it last, once the node serves
    /// ioctls: a program may open the device as soon as it hears of it.
    std::string AddUsbDevice(const DeviceSpec& devSpec, const std::vector<uint8_t>& descriptors);

    static std::string DevNode(const DeviceSpec& devSpec);
    std::string NodePath(const DeviceSpec& devSpec) const { return m_szRoot + DevNode(devSpec); }

    /// @throws std::runtime_error
    void AttachIoctl(const std::string& szDevNode, UMockdevIoctlBase* pHandler);

    /// Sends the "remove" uevents (libusb's hotplug monitor listens), then
    /// deletes the sysfs entries of the device and its interfaces and the
    /// device node.
    void RemoveDevice(const std::string& szSysPath);

private:
    using Pairs = std::vector<std::pair<const char*, std::string>>;
    std::string AddEntry(const char* szName, const std::string& szParent, const Pairs& attributes,
                         const Pairs& properties);

    UMockdevTestbed* m_pTestbed = nullptr;
    std::string m_szRoot;
};

}  // namespace kyrsim
