#include "agent/service/APIError.h"

namespace tessary {

std::string APIError::description() const
{
    return "The operation couldn’t be completed. (APIError.requestFailed(statusCode: " + std::to_string(statusCode) +
           "))";
}

}  // namespace tessary
