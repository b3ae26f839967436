#include "agent/service/UseSetupCodeResponse.h"

namespace tessary {

UseSetupCodeResponse UseSetupCodeResponse::read(const JsonFields& fields)
{
    return UseSetupCodeResponse{fields.requiredBool("success"), fields.requiredString("familyId"),
                                fields.requiredString("token")};
}

nlohmann::json UseSetupCodeResponse::toJson() const
{
    return nlohmann::json{{"success", success}, {"familyId", familyId}, {"token", token}};
}

}  // namespace tessary
