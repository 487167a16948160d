// The umockdev testbed: sysfs entries and device nodes of the emulated devices.
#pragma once

#include "Descriptors.h"
#include "Options.h"

#include <string>
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

    /// Adds the sysfs device "<bus>-<nIndex + 1>", announces it with an "add"
    /// uevent and returns its sysfs path. Call it last, once the node serves
    /// ioctls: a program may open the device as soon as it hears of it.
    std::string AddUsbDevice(const DeviceSpec& devSpec, int nIndex, const std::vector<uint8_t>& descriptors);

    static std::string DevNode(const DeviceSpec& devSpec);
    std::string NodePath(const DeviceSpec& devSpec) const { return m_szRoot + DevNode(devSpec); }

    /// @throws std::runtime_error
    void AttachIoctl(const std::string& szDevNode, UMockdevIoctlBase* pHandler);

    /// Sends the "remove" uevent (libusb's hotplug monitor listens), then
    /// deletes the sysfs entry and the device node.
    void RemoveDevice(const std::string& szSysPath);

private:
    UMockdevTestbed* m_pTestbed = nullptr;
    std::string m_szRoot;
};

}  // namespace kyrsim
