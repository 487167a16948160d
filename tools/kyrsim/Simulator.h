// Ties the pieces together: testbed, emulated devices, control socket, and
// the program under test with its lifetime.
#pragma once

#include "ControlServer.h"
#include "Options.h"
#include "Testbed.h"
#include "UinputNode.h"
#include "UsbfsDevice.h"

#include <glib.h>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kyrsim {

class CSimulator {
public:
    /// Builds every device before anything can observe them.
    explicit CSimulator(const Options& options);
    ~CSimulator();
    CSimulator(const CSimulator&) = delete;
    CSimulator& operator=(const CSimulator&) = delete;

    /// Runs the command to its end; returns its status in shell convention.
    int Run();

    /// One control request, one reply; public so that it can be exercised
    /// without a socket.
    std::string HandleRequest(const std::string& szRequest);

private:
    // Requests kyrsim does not know go to the model of the device they name.
    std::string ModelRequest(const std::vector<std::string>& words);
    // Builds device nDevice of m_options and adds it to the testbed.
    // @throws std::invalid_argument, std::runtime_error
    void PlugDevice(size_t nDevice);
    // @throws std::invalid_argument when a present device has the port.
    void CheckPortFree(const DeviceSpec& devSpec, size_t nDevice) const;
    // "plug DEVICE": a new device, numbered after the last one.
    std::string PlugRequest(const std::string& szSpec);

    static gboolean OnTimedPlug(gpointer pData);
    static gboolean OnTimedUnplug(gpointer pData);
    static gboolean OnForwardSignal(gpointer pData);
    static void OnChildExit(GPid pid, gint nStatus, gpointer pSelf);

    Options m_options;
    std::unique_ptr<CTestbed> m_pTestbed;
    std::unique_ptr<CUinputNode> m_pUinput;  // goes after the testbed, whose thread calls it
    // Per device number, all touched on the main loop only. A device is null
    // until it is plugged in.
    std::vector<std::unique_ptr<CUsbfsDevice>> m_devices;
    std::vector<std::shared_ptr<IModelControl>> m_modelControls;  // null for models without requests
    std::unique_ptr<CControlServer> m_pControl;
    GMainLoop* m_pLoop = nullptr;
    pid_t m_child = -1;
    int m_nChildStatus = 0;
};

}  // namespace kyrsim
