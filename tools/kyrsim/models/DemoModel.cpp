// Shows a newcomer some traffic: every 20 ms each interface emits a 64-byte
// report whose first four bytes are a running counter (little-endian) and
// whose fifth byte is the interface number. The bytes are no protocol packet.
#include "../DeviceModel.h"
#include "PeriodicTimer.h"

#include <array>

namespace kyrsim {
namespace {

class CDemoModel final : public IDeviceModel {
public:
    void OnAttach(const ModelContext& context) override
    {
        m_timer.Start(std::chrono::milliseconds(20), [this, &sink = context.sink, interfaces = context.interfaces] {
            ++m_dwCounter;
            for (int nInterface : interfaces) {
                std::array<uint8_t, 64> report{};
                for (int i = 0; i < 4; ++i)
                    report[i] = static_cast<uint8_t>(m_dwCounter >> (8 * i));
                report[4] = static_cast<uint8_t>(nInterface);
                sink.EmitInReport(nInterface, report);
            }
        });
    }

    void OnDetach() override { m_timer.Stop(); }

    void OnOutReport(int, std::span<const uint8_t>) override {}

private:
    uint32_t m_dwCounter = 0;  // touched only by the timer thread
    CPeriodicTimer m_timer;
};

const ModelRegistration registration("demo", [] { return std::make_unique<CDemoModel>(); });

}  // namespace
}  // namespace kyrsim
