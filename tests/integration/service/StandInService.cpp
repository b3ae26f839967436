#include "tests/integration/service/StandInService.h"

#include <stdexcept>

namespace tessary::testing {

StandInService::StandInService(const std::vector<std::string>& certificateNames)
{
    auto certificates = server::ServerCertificates::loadOrCreate(folder_.path() / "certificates", certificateNames);
    if (!certificates)
        throw std::runtime_error(certificates.error().description);
    certificates_ = certificates.value();
    service_ = std::make_shared<server::FamilyService>();
    service_->serveAdminInterface();
    server_ = std::make_unique<server::HttpsServer>(service_, certificates_);
    start();
}

void StandInService::start(std::uint16_t port)
{
    auto started = server_->start(port);
    if (!started)
        throw std::runtime_error(started.error().description);
    port_ = started.value();
}

StandInService::PairedDevice StandInService::pairDevice(const std::string& deviceId)
{
    const auto code = service_->issueSetupCode()["setupCode"].get<std::string>();
    const auto answer = service_->handle(server::HttpQuery{
        "POST", "/api/use-setup-code", {}, nlohmann::json{{"setupCode", code}, {"deviceId", deviceId}}.dump()});
    return PairedDevice{deviceId, nlohmann::json::parse(answer.body).at("token").get<std::string>()};
}

}  // namespace tessary::testing
