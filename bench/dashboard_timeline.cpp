// The parents' dashboard showing one device's busy day: 20,000 reports kept by the real service in
// its SQLite store, then the activity page asked for over and over through the dashboard (store
// read, timeline, summary, HTML). Prints the time per page (target <= 200 ms).
//   dashboard_timeline [events] [pages]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "server/dashboard/PasswordHash.h"
#include "server/storage/SqliteFamilyStore.h"
#include "server/service/FamilyService.h"

using namespace tessary;

namespace {

constexpr double kTargetMs = 200;

std::string cookie(const server::HttpAnswer& answer, const std::string& name)
{
    for (const auto& [header, value] : answer.headers)
        if (header == "Set-Cookie" && value.rfind(name + "=", 0) == 0)
            return name + "=" + value.substr(name.size() + 1, value.find(';') - name.size() - 1);
    return {};
}

}  // namespace

int main(int argc, char* argv[])
{
    const int events = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20'000;
    const int pages = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    std::shared_ptr<server::FamilyStore> store = std::move(server::SqliteFamilyStore::open(":memory:")).value();
    if (store->putParent({"ada", "family-1", *server::PasswordHash::of("correct horse")})) {
        std::fprintf(stderr, "dashboard_timeline: the parent could not be kept\n");
        return 1;
    }
    server::FamilyService service(store);
    const auto code = service.issueSetupCode("family-1", 600);
    service.handle({"POST", "/api/use-setup-code", {}, R"({"setupCode":")" + code + R"(","deviceId":"device-a"})"});

    // Spread over today so far: visits to a few hundred hosts, and applications opened and closed.
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    const auto midnight = now - now % 86400;
    for (int i = 0; i < events; ++i) {
        const auto ts = std::to_string(midnight + (now - midnight) * i / events);
        const auto event = i % 10 == 0 ? R"({"type":"app_launch","appName":"App )" + std::to_string(i % 30) +
                                             R"(","bundleId":"org.example.App)" + std::to_string(i % 30) + R"(","ts":)" + ts + "}"
                           : i % 10 == 5 ? R"({"type":"app_terminate","appName":"App )" + std::to_string((i - 5) % 30) +
                                               R"(","bundleId":"org.example.App)" + std::to_string((i - 5) % 30) +
                                               R"(","ts":)" + ts + "}"
                                         : R"({"type":"site_visit","url":"https://site)" + std::to_string(i % 300) +
                                               R"(.example/page/)" + std::to_string(i) + R"(","ts":)" + ts + "}";
        service.recordFrame("device-a", R"({"type":"activity","payload":{"events":[)" + event + "]}}");
    }

    const auto signInPage = service.handle({"GET", "/", {}, ""});
    std::smatch token;
    std::regex_search(signInPage.body, token, std::regex(R"re(name="form" value="([0-9a-f]+)")re"));
    const auto signedIn = service.handle({"POST", "/sign-in", {{"Cookie", cookie(signInPage, "tessary_sign_in")}},
                                          "form=" + token[1].str() + "&name=ada&password=correct+horse"});
    const auto session = cookie(signedIn, "tessary_session");
    if (session.empty()) {
        std::fprintf(stderr, "dashboard_timeline: could not sign in (%d)\n", signedIn.status);
        return 1;
    }

    std::vector<double> times;
    std::size_t bytes = 0;
    for (int page = 0; page < pages; ++page) {
        const auto start = std::chrono::steady_clock::now();
        const auto answer = service.handle({"GET", "/family/activity?device=device-a", {{"Cookie", session}}, ""});
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        bytes = answer.body.size();
        if (answer.status != 200) {
            std::fprintf(stderr, "dashboard_timeline: the page answered %d\n", answer.status);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("dashboard_timeline: one device's day of %d reports, page of %.0f KB\n", events,
                static_cast<double>(bytes) / 1024.0);
    std::printf("  activity page (store read, timeline, summary, HTML): p50 %.1f ms  max %.1f ms over %d pages   "
                "(target <= %.0f ms)\n",
                times[times.size() / 2], times.back(), pages, kTargetMs);
    return 0;
}
