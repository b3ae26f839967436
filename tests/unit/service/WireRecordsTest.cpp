#include <gtest/gtest.h>

#include "agent/service/HeartbeatResponse.h"
#include "agent/service/RecordCodec.h"
#include "agent/service/RulesPayload.h"
#include "agent/service/UseSetupCodeResponse.h"
#include "agent/service/VersionInfo.h"

namespace tessary {
namespace {

constexpr auto kRules = R"({"mode":"deny","blockedSites":["a.example"],"blockedApps":["org.game"],
    "approvedSites":[],"approvedApps":["org.school"],"grants":[{"url":"b.example","expiry":1700000000}]})";

TEST(WireRecordsTest, RequiredFieldsMissingOrMistypedFailTheWholeRecord)
{
    struct Row {
        const char* name;
        bool (*decodes)();
    };
    const Row rows[] = {
        {"heartbeat without ok", [] { return bool(RecordCodec<HeartbeatResponse>::decode(R"({"updateAvailable":false})")); }},
        {"ok as a string", [] { return bool(RecordCodec<HeartbeatResponse>::decode(R"({"ok":"true","updateAvailable":false})")); }},
        {"rules without grants", [] {
             return bool(RecordCodec<RulesPayload>::decode(
                 R"({"mode":"allow","blockedSites":[],"blockedApps":[],"approvedSites":[],"approvedApps":[]})"));
         }},
        {"blockedApps null", [] {
             return bool(RecordCodec<RulesPayload>::decode(
                 R"({"mode":"allow","blockedSites":[],"blockedApps":null,"approvedSites":[],"approvedApps":[],"grants":[]})"));
         }},
        {"site that is not a string", [] {
             return bool(RecordCodec<RulesPayload>::decode(
                 R"({"mode":"allow","blockedSites":[1],"blockedApps":[],"approvedSites":[],"approvedApps":[],"grants":[]})"));
         }},
        {"grant without url", [] {
             return bool(RecordCodec<RulesPayload>::decode(
                 R"({"mode":"allow","blockedSites":[],"blockedApps":[],"approvedSites":[],"approvedApps":[],"grants":[{"expiry":1}]})"));
         }},
        {"grant expiry 1.5", [] { return bool(RecordCodec<GrantPayload>::decode(R"({"url":"x","expiry":1.5})")); }},
        {"expiry beyond 64 bits", [] { return bool(RecordCodec<GrantPayload>::decode(R"({"url":"x","expiry":9223372036854775808})")); }},
        {"pairing without token", [] { return bool(RecordCodec<UseSetupCodeResponse>::decode(R"({"success":true,"familyId":"f"})")); }},
        {"version without build", [] { return bool(RecordCodec<VersionInfo>::decode(R"({"version":"1.0"})")); }},
        {"not JSON", [] { return bool(RecordCodec<VersionInfo>::decode("<html>404</html>")); }},
        {"an array", [] { return bool(RecordCodec<VersionInfo>::decode(R"([{"version":"1","build":"2"}])")); }},
        {"invalid UTF-8", [] { return bool(RecordCodec<VersionInfo>::decode("{\"version\":\"\xff\",\"build\":\"1\"}")); }},
    };
    for (const auto& row : rows)
        EXPECT_FALSE(row.decodes()) << row.name;
}

TEST(WireRecordsTest, RulesRoundTripWithUnknownKeysIgnored)
{
    std::string withExtras = kRules;
    withExtras.insert(1, R"("future":{"x":1},)");
    const auto rules = RecordCodec<RulesPayload>::decode(withExtras);
    ASSERT_TRUE(rules) << rules.error().description;
    EXPECT_EQ(rules.value().mode, "deny");
    EXPECT_EQ(rules.value().grants, (std::vector<GrantPayload>{{"b.example", 1700000000}}));
    const auto again = RecordCodec<RulesPayload>::fromJson(rules.value().toJson());
    ASSERT_TRUE(again);
    EXPECT_EQ(again.value(), rules.value());
    EXPECT_FALSE(rules.value().toJson().contains("future"));
}

TEST(WireRecordsTest, GrantExpiryNullOrAbsentEncodesAsUrlOnly)
{
    for (const auto* text : {R"({"url":"a.example"})", R"({"url":"a.example","expiry":null,"note":"x"})"}) {
        const auto grant = RecordCodec<GrantPayload>::decode(text);
        ASSERT_TRUE(grant) << text;
        EXPECT_FALSE(grant.value().expiry.has_value());
        EXPECT_EQ(grant.value().toJson().dump(), R"({"url":"a.example"})");
    }
}

TEST(WireRecordsTest, SixtyFourBitIntegersStayExact)
{
    const std::int64_t beyondDouble = (std::int64_t{1} << 53) + 1;
    const auto grant = RecordCodec<GrantPayload>::decode(R"({"url":"x","expiry":9007199254740993})");
    ASSERT_TRUE(grant);
    EXPECT_EQ(grant.value().expiry, beyondDouble);
    EXPECT_EQ(grant.value().toJson().dump(), R"({"expiry":9007199254740993,"url":"x"})");

    const auto extremes = RecordCodec<GrantPayload>::decode(R"({"url":"x","expiry":-9223372036854775808})");
    ASSERT_TRUE(extremes);
    EXPECT_EQ(extremes.value().expiry, std::numeric_limits<std::int64_t>::min());
    const auto largest = RecordCodec<GrantPayload>::decode(R"({"url":"x","expiry":9223372036854775807})");
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest.value().expiry, std::numeric_limits<std::int64_t>::max());
}

}  // namespace
}  // namespace tessary
