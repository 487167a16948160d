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

std::unique_ptr<IDeviceModel> CModelRegistry::Create(const std::string& szName, const ModelOptions& options) const
{
    for (const auto& entry : m_factories) {
        if (entry.first == szName)
            return entry.second(options);
    }
    return nullptr;
}

bool CModelRegistry::Has(const std::string& szName) const
{
    return std::any_of(m_factories.begin(), m_factories.end(),
                       [&](const auto& entry) { return entry.first == szName; });
}

ModelRegistration::ModelRegistration(const std::string& szName, PlainModelFactory factory)
{
    CModelRegistry::Instance().Register(szName, [szName, factory = std::move(factory)](const ModelOptions& options) {
        if (!options.empty())
            throw std::invalid_argument("unknown key '" + options.front().szKey + "' (model " + szName +
                                        " takes no options)");
        return factory();
    });
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
