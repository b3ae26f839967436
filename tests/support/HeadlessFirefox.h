#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "tests/support/WatchedProcess.h"

namespace tessary::testing {

// Headless Firefox ESR on a fresh profile with an unsigned, side-loaded extension of the Tessary
// extension's ID (web-extension@tessary.brenmoor.app) that talks to the native host as the real
// extension does. Its background script asks for the rules, reports kVisitURL at kVisitTimestamp
// with one message per start, then on one kept connection asks for the rules again, for access to
// kWantedURL titled with the blocked sites it was given (as JSON text), and for access to
// kPrivateBrowsingURL titled "true" or "false": whether it may run in private windows, which only
// the package's Firefox policy grants.
class HeadlessFirefox {
public:
    static constexpr const char* kProgram = "/usr/bin/firefox-esr";
    static constexpr const char* kVisitURL = "https://firefox.example/page";
    static constexpr long long kVisitTimestamp = 1700000123;
    static constexpr const char* kWantedURL = "https://firefox.example/wanted";
    static constexpr const char* kPrivateBrowsingURL = "https://firefox.example/private-browsing";

    static bool installed();

    // Everything it writes goes below folder.
    HeadlessFirefox(const std::filesystem::path& folder, const std::map<std::string, std::string>& environment);

    WatchedProcess& process() { return *process_; }

private:
    std::unique_ptr<WatchedProcess> process_;
};

}  // namespace tessary::testing
