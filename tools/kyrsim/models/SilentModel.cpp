// A device that takes every OUT report and never sends anything.
#include "../DeviceModel.h"

namespace kyrsim {
namespace {

class CSilentModel final : public IDeviceModel {
public:
    void OnOutReport(int, std::span<const uint8_t>) override {}
};

const ModelRegistration registration("silent", [] { return std::make_unique<CSilentModel>(); });

}  // namespace
}  // namespace kyrsim
