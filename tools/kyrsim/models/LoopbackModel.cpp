// Every OUT report comes back unchanged as an IN report on the same interface.
#include "../DeviceModel.h"

namespace kyrsim {
namespace {

class CLoopbackModel final : public IDeviceModel {
public:
    void OnAttach(const ModelContext& context) override { m_pSink = &context.sink; }
    void OnDetach() override { m_pSink = nullptr; }

    void OnOutReport(int nInterface, std::span<const uint8_t> report) override
    {
        if (m_pSink != nullptr)
            m_pSink->EmitInReport(nInterface, report);
    }

private:
    // Written only before the first and after the last OnOutReport, both on
    // the thread that drives the device's lifetime.
    IReportSink* m_pSink = nullptr;
};

const ModelRegistration registration("loopback", [] { return std::make_unique<CLoopbackModel>(); });

}  // namespace
}  // namespace kyrsim
