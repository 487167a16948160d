// Device behaviour behind the emulated USB plumbing.
//
// A model sees reports, never URBs, file descriptors or clients: the usbfs
// layer turns interrupt OUT URBs into OnOutReport calls and feeds whatever the
// model emits to the interrupt IN URBs the host has pending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kyrsim {

class IReportSink {
public:
    virtual ~IReportSink() = default;

    /// Emits one report on the interrupt IN endpoint of interface nInterface.
    /// Thread-safe, and safe to call from within OnOutReport, from a timer
    /// thread or from the control server. A report emitted while no host has
    /// claimed the interface is dropped, as nobody polls the endpoint.
    /// @return false when the interface does not exist or the device is gone.
    virtual bool EmitInReport(int nInterface, std::span<const uint8_t> report) = 0;

    /// IN reports of the interface that wait for the host to poll for them;
    /// 0 while nobody has claimed it. Thread-safe.
    virtual size_t BackloggedInReports(int nInterface) const = 0;
};

struct ModelContext {
    IReportSink& sink;
    std::vector<int> interfaces;  // interface numbers of the active configuration
};

/// The device items a model gets: every key kyrsim itself does not know, in
/// the order given; a flag such as `echo` has no value.
struct ModelOption {
    std::string szKey;
    std::optional<std::string> value;
};
using ModelOptions = std::vector<ModelOption>;

/// Control-socket requests a model answers itself. It may outlive the model
/// (a test may ask after an unplug), so it is handed out as a shared object.
class IModelControl {
public:
    virtual ~IModelControl() = default;

    /// Called on kyrsim's main thread with the request's words; words[1] is
    /// the device number. nullopt: not a request of this model.
    virtual std::optional<std::string> HandleRequest(const std::vector<std::string>& words) = 0;
};

class IDeviceModel {
public:
    virtual ~IDeviceModel() = default;

    /// Called once before any host can open the device. The sink stays valid
    /// until OnDetach returns.
    virtual void OnAttach(const ModelContext& context) { (void)context; }

    /// One interrupt OUT report, called on the usbfs worker thread. It must
    /// not block: every client of every emulated device waits meanwhile.
    virtual void OnOutReport(int nInterface, std::span<const uint8_t> report) = 0;

    /// Unplug or shutdown. Afterwards the model must not touch the sink; a
    /// model with its own thread stops and joins it here.
    virtual void OnDetach() {}

    /// Null for models without requests of their own.
    virtual std::shared_ptr<IModelControl> Control() { return nullptr; }
};

/// A model whose device also answers control requests: the device is shared
/// with the control socket, which may still hold it after the model is gone.
/// TDevice has Attach, OnOutReport and Detach like the model's own calls.
template <typename TDevice>
class CControlledModel final : public IDeviceModel {
public:
    explicit CControlledModel(std::shared_ptr<TDevice> pDevice) : m_pDevice(std::move(pDevice)) {}

    void OnAttach(const ModelContext& context) override { m_pDevice->Attach(context); }
    void OnOutReport(int nInterface, std::span<const uint8_t> report) override
    {
        m_pDevice->OnOutReport(nInterface, report);
    }
    void OnDetach() override { m_pDevice->Detach(); }
    std::shared_ptr<IModelControl> Control() override { return m_pDevice; }

private:
    const std::shared_ptr<TDevice> m_pDevice;
};

/// @throws std::invalid_argument for an option the model does not take.
using ModelFactory = std::function<std::unique_ptr<IDeviceModel>(const ModelOptions&)>;
/// For models without options: any option is refused.
using PlainModelFactory = std::function<std::unique_ptr<IDeviceModel>()>;

/// Name -> factory. Models register themselves with a static
/// ModelRegistration in their own source file.
class CModelRegistry {
public:
    static CModelRegistry& Instance();

    void Register(const std::string& szName, ModelFactory factory);
    /// nullptr for an unknown name. @throws std::invalid_argument for bad options.
    std::unique_ptr<IDeviceModel> Create(const std::string& szName, const ModelOptions& options = {}) const;
    bool Has(const std::string& szName) const;
    std::vector<std::string> Names() const;

private:
    std::vector<std::pair<std::string, ModelFactory>> m_factories;
};

struct ModelRegistration {
    ModelRegistration(const std::string& szName, ModelFactory factory)
    {
        CModelRegistry::Instance().Register(szName, std::move(factory));
    }
    ModelRegistration(const std::string& szName, PlainModelFactory factory);
};

}  // namespace kyrsim
