#include "Simulator.h"

#include "ChildProcess.h"

#include <algorithm>
#include <csignal>
#include <glib-unix.h>
#include <sstream>
#include <stdexcept>

namespace kyrsim {

namespace {

struct TimedDevice {
    CSimulator* pSimulator;
    int nDevice;
};

struct SignalForward {
    pid_t* pChild;
    int nSignal;
};

bool ParseIndex(const std::string& szText, int& nValue)
{
    if (szText.empty() || szText.size() > 6 || szText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    nValue = std::stoi(szText);
    return true;
}

}  // namespace

CSimulator::CSimulator(const Options& options) : m_options(options)
{
    m_pTestbed = std::make_unique<CTestbed>();
    m_pUinput = std::make_unique<CUinputNode>(*m_pTestbed, options.bUinputDeny);
    m_devices.resize(options.devices.size());
    m_modelControls.resize(options.devices.size());
    for (size_t n = 0; n < options.devices.size(); ++n) {
        if (options.devices[n].nPlugMs < 0)
            PlugDevice(n);
    }
    m_pControl = std::make_unique<CControlServer>(m_pTestbed->RootDir() + "/kyrsim.sock",
                                                  [this](const std::string& szRequest) { return HandleRequest(szRequest); });
    m_pLoop = g_main_loop_new(nullptr, FALSE);
}

void CSimulator::PlugDevice(size_t nDevice)
{
    const DeviceSpec& devSpec = m_options.devices[nDevice];
    CheckPortFree(devSpec, nDevice);
    try {
        std::unique_ptr<IDeviceModel> pModel = CModelRegistry::Instance().Create(devSpec.szModel, devSpec.modelOptions);
        m_modelControls[nDevice] = pModel->Control();
        m_devices[nDevice] =
            std::make_unique<CUsbfsDevice>(static_cast<int>(nDevice), devSpec, *m_pTestbed, std::move(pModel));
    } catch (const std::invalid_argument& e) {
        m_modelControls[nDevice].reset();
        throw std::invalid_argument("device " + std::to_string(nDevice) + ": " + e.what());
    }
}

// A port, unlike an address, is free again once its device is unplugged: a
// device plugged back in there gets the same sysfs names.
void CSimulator::CheckPortFree(const DeviceSpec& devSpec, size_t nDevice) const
{
    for (size_t n = 0; n < m_devices.size(); ++n) {
        const DeviceSpec& other = m_options.devices[n];
        if (m_devices[n] && m_devices[n]->IsPresent() && other.nBus == devSpec.nBus && other.nPort == devSpec.nPort) {
            throw std::invalid_argument("device " + std::to_string(nDevice) + ": bus " + std::to_string(devSpec.nBus) +
                                        " port " + std::to_string(devSpec.nPort) + " is taken by device " +
                                        std::to_string(n));
        }
    }
}

std::string CSimulator::PlugRequest(const std::string& szSpec)
{
    const size_t nDevice = m_options.devices.size();
    DeviceSpec devSpec;
    try {
        devSpec = ParseDeviceSpec(szSpec);
        if (devSpec.nPlugMs >= 0 || devSpec.nUnplugMs >= 0)
            throw std::invalid_argument("plug= and unplug= are for the command line");
        // Whether the program may ignore file modes is settled when it starts.
        if (devSpec.bDeny)
            throw std::invalid_argument("deny is for the command line");
        PlaceDevice(devSpec, nDevice, m_options.devices);
        CheckPortFree(devSpec, nDevice);
    } catch (const std::invalid_argument& e) {
        return std::string("error ") + e.what();
    }
    m_options.devices.push_back(devSpec);
    m_devices.emplace_back();
    m_modelControls.emplace_back();
    try {
        PlugDevice(nDevice);
    } catch (const std::exception& e) {
        // The number stays used: a device that half appeared is not handed
        // out again.
        return std::string("error ") + e.what();
    }
    return "ok " + std::to_string(nDevice);
}

CSimulator::~CSimulator()
{
    m_pControl.reset();
    for (auto& pDevice : m_devices) {
        if (pDevice)
            pDevice->DetachModel();
    }
    // The testbed's ioctl thread is gone with the testbed; only then may the
    // handlers' owners go.
    m_pTestbed.reset();
    m_pUinput.reset();
    m_devices.clear();
    g_main_loop_unref(m_pLoop);
}

int CSimulator::Run()
{
    ChildSetup setup;
    setup.command = m_options.command;
    setup.szControlPath = m_pControl->Path();
    setup.bDropPermissionOverride =
        m_options.bUinputDeny ||
        std::any_of(m_options.devices.begin(), m_options.devices.end(), [](const DeviceSpec& devSpec) { return devSpec.bDeny; });
    m_child = StartChild(setup);

    g_child_watch_add(m_child, OnChildExit, this);
    std::vector<std::unique_ptr<SignalForward>> forwards;
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) {
        forwards.push_back(std::make_unique<SignalForward>(SignalForward{&m_child, nSignal}));
        g_unix_signal_add(nSignal, OnForwardSignal, forwards.back().get());
    }
    for (size_t n = 0; n < m_options.devices.size(); ++n) {
        const DeviceSpec& devSpec = m_options.devices[n];
        const std::pair<int, GSourceFunc> timers[] = {{devSpec.nPlugMs, OnTimedPlug}, {devSpec.nUnplugMs, OnTimedUnplug}};
        for (const auto& [nMs, fnTimer] : timers) {
            if (nMs >= 0) {
                g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(nMs), fnTimer,
                                   new TimedDevice{this, static_cast<int>(n)},
                                   [](gpointer p) { delete static_cast<TimedDevice*>(p); });
            }
        }
    }
    g_main_loop_run(m_pLoop);
    return ShellStatus(m_nChildStatus);
}

gboolean CSimulator::OnTimedPlug(gpointer pData)
{
    auto* pPlug = static_cast<TimedDevice*>(pData);
    try {
        pPlug->pSimulator->PlugDevice(static_cast<size_t>(pPlug->nDevice));
    } catch (const std::exception& e) {
        // The program runs on; it will miss the device and say so.
        g_printerr("kyrsim: cannot plug in device %d: %s\n", pPlug->nDevice, e.what());
    }
    return G_SOURCE_REMOVE;
}

gboolean CSimulator::OnTimedUnplug(gpointer pData)
{
    auto* pUnplug = static_cast<TimedDevice*>(pData);
    // unplug= comes after plug=, so a device that failed to plug is the only
    // one still missing here.
    if (auto& pDevice = pUnplug->pSimulator->m_devices[static_cast<size_t>(pUnplug->nDevice)])
        pDevice->Unplug();
    return G_SOURCE_REMOVE;
}

gboolean CSimulator::OnForwardSignal(gpointer pData)
{
    const auto* pForward = static_cast<SignalForward*>(pData);
    if (*pForward->pChild > 0)
        kill(*pForward->pChild, pForward->nSignal);
    return G_SOURCE_CONTINUE;
}

void CSimulator::OnChildExit(GPid, gint nStatus, gpointer pSelf)
{
    auto* pSimulator = static_cast<CSimulator*>(pSelf);
    pSimulator->m_nChildStatus = nStatus;
    pSimulator->m_child = -1;
    g_main_loop_quit(pSimulator->m_pLoop);
}

std::string CSimulator::HandleRequest(const std::string& szRequest)
{
    std::istringstream stream(szRequest);
    std::vector<std::string> words;
    for (std::string szWord; stream >> szWord;)
        words.push_back(szWord);
    if (words.empty())
        return "error empty request";

    const std::string& szVerb = words[0];
    if (szVerb == "uinput")
        return m_pUinput->HandleRequest(words);
    if (szVerb == "plug")
        return words.size() == 2 ? PlugRequest(words[1]) : "error usage: plug DEVICE";
    struct Form {
        const char* szVerb;
        size_t nWords;
        const char* szUsage;
    };
    static const Form forms[] = {
        {"unplug", 2, "unplug N"},         {"driver", 3, "driver N I"},         {"claimed", 3, "claimed N I"},
        {"count", 3, "count N out"},       {"inject", 4, "inject N I HEX"},
    };
    const auto itForm = std::find_if(std::begin(forms), std::end(forms),
                                     [&](const Form& form) { return szVerb == form.szVerb; });
    if (itForm == std::end(forms))
        return ModelRequest(words);
    if (words.size() != itForm->nWords)
        return std::string("error usage: ") + itForm->szUsage;

    int nDevice = 0;
    if (!ParseIndex(words[1], nDevice) || nDevice >= static_cast<int>(m_devices.size()))
        return "error no device " + words[1];
    if (!m_devices[static_cast<size_t>(nDevice)])
        return "error device " + words[1] + " is not plugged in yet";
    CUsbfsDevice& device = *m_devices[static_cast<size_t>(nDevice)];

    if (szVerb == "unplug")
        return device.Unplug() ? "ok" : "error device " + words[1] + " is already unplugged";
    if (szVerb == "count") {
        if (words[2] != "out")
            return "error usage: count N out";
        return std::to_string(device.OutReportCount());
    }

    int nInterface = 0;
    if (!ParseIndex(words[2], nInterface) || !device.HasInterface(nInterface))
        return "error no interface " + words[2] + " on device " + words[1];
    if (szVerb == "driver")
        return device.DriverOf(nInterface).value_or("none");
    if (szVerb == "claimed")
        return device.IsClaimed(nInterface).value_or(false) ? "1" : "0";

    std::vector<uint8_t> report;
    try {
        report = ParseHexBytes(words[3]);
    } catch (const std::invalid_argument& e) {
        return std::string("error ") + e.what();
    }
    if (!device.IsPresent())
        return "error device " + words[1] + " is unplugged";
    // Reports are dropped while nobody claims the interface; say so rather
    // than let a test wait for a report that never comes.
    if (!device.IsClaimed(nInterface).value_or(false))
        return "error interface " + words[2] + " of device " + words[1] + " is not claimed";
    return device.EmitInReport(nInterface, report) ? "ok" : "error device " + words[1] + " is unplugged";
}

std::string CSimulator::ModelRequest(const std::vector<std::string>& words)
{
    int nDevice = 0;
    if (words.size() >= 2 && ParseIndex(words[1], nDevice) && nDevice < static_cast<int>(m_modelControls.size())) {
        if (const auto& pControl = m_modelControls[static_cast<size_t>(nDevice)]) {
            if (std::optional<std::string> reply = pControl->HandleRequest(words))
                return *reply;
        }
        return "error unknown request '" + words[0] + "' for device " + words[1] + " (model " +
               m_options.devices[static_cast<size_t>(nDevice)].szModel + ")";
    }
    return "error unknown request '" + words[0] + "'";
}

}  // namespace kyrsim
