#include "DeviceModel.h"

#include <algorithm>
#include <stdexcept>

namespace kyrsim {

CModelRegistry& CModelRegistry::Instance()
{
    // Function-local so that registrations from static objects in other
    // translation units never see an unconstructed registry.
    static CModelRegistry registry;
    return registry;
}

void CModelRegistry::Register(const std::string& szName, ModelFactory factory)
{
    for (const auto& entry : m_factories) {
        if (entry.first == szName)
            throw std::logic_error("device model registered twice: " + szName);
    }
    m_factories.emplace_back(szName, std::move(factory));
}

std::unique_ptr<IDeviceModel> CModelRegistry::Create(const std::string& szName) const
{
    for (const auto& entry : m_factories) {
        if (entry.first == szName)
            return entry.second();
    }
    return nullptr;
}

std::vector<std::string> CModelRegistry::Names() const
{
    std::vector<std::string> names;
    for (const auto& entry : m_factories)
        names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace kyrsim
