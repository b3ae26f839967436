#include "agent/service/RulesPayload.h"

namespace tessary {

RulesPayload RulesPayload::read(const JsonFields& fields)
{
    RulesPayload rules;
    rules.mode = fields.requiredString("mode");
    rules.blockedSites = fields.requiredStrings("blockedSites");
    rules.blockedApps = fields.requiredStrings("blockedApps");
    rules.approvedSites = fields.requiredStrings("approvedSites");
    rules.approvedApps = fields.requiredStrings("approvedApps");
    const auto& grants = fields.requiredArray("grants");
    rules.grants.reserve(grants.size());
    for (const auto& grant : grants)
        rules.grants.push_back(GrantPayload::read(JsonFields(grant, GrantPayload::kRecordName)));
    return rules;
}

nlohmann::json RulesPayload::toJson() const
{
    auto grantArray = nlohmann::json::array();
    for (const auto& grant : grants)
        grantArray.push_back(grant.toJson());
    return nlohmann::json{{"mode", mode},
                          {"blockedSites", blockedSites},
                          {"blockedApps", blockedApps},
                          {"approvedSites", approvedSites},
                          {"approvedApps", approvedApps},
                          {"grants", std::move(grantArray)}};
}

}  // namespace tessary
