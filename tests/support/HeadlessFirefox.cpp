#include "tests/support/HeadlessFirefox.h"

#include "tests/support/TemporaryFolder.h"

namespace tessary::testing {

bool HeadlessFirefox::installed()
{
    std::error_code error;
    return std::filesystem::exists(kProgram, error);
}

HeadlessFirefox::HeadlessFirefox(const std::filesystem::path& folder,
                                 const std::map<std::string, std::string>& environment)
{
    const auto extension = folder / "firefox-extension";
    TemporaryFolder::writeFile(extension / "manifest.json", R"({
  "manifest_version": 2, "name": "Tessary test extension", "version": "1.0",
  "browser_specific_settings": {"gecko": {"id": "web-extension@tessary.brenmoor.app"}},
  "permissions": ["nativeMessaging"], "background": {"scripts": ["background.js"]}
})");
    TemporaryFolder::writeFile(extension / "background.js",
                               std::string(R"((async () => {
  const host = "app.brenmoor.tessary";
  const reply = await browser.runtime.sendNativeMessage(host, {type: "get_rules"});
  await browser.runtime.sendNativeMessage(host, {type: "url_visit", url: ")") +
                                   kVisitURL + "\", timestamp: " + std::to_string(kVisitTimestamp) + R"(});
  const port = browser.runtime.connectNative(host);
  port.postMessage({type: "get_rules"});
  port.postMessage({type: "access_request", url: ")" + kWantedURL +
                                   R"(", title: JSON.stringify(reply.rules.blockedSites)});
  port.postMessage({type: "access_request", url: ")" + kPrivateBrowsingURL +
                                   R"(", title: String(await browser.extension.isAllowedIncognitoAccess())});
})();
)");
    const auto profile = folder / "firefox-profile";
    // Side-loaded through a proxy file naming the folder; unsigned, as only a test's may be.
    TemporaryFolder::writeFile(profile / "extensions" / "web-extension@tessary.brenmoor.app", extension.string());
    TemporaryFolder::writeFile(profile / "user.js", "user_pref(\"xpinstall.signatures.required\", false);\n"
                                                    "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                                                    "user_pref(\"extensions.enabledScopes\", 15);\n"
                                                    "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                                    "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n");
    process_ = std::make_unique<WatchedProcess>(
        std::vector<std::string>{kProgram, "--headless", "--no-remote", "--profile", profile.string()}, environment);
}

}  // namespace tessary::testing
