// Feeds arbitrary bytes to everything that reads what the service sends: the channel's message
// handler and every record decoder. A decoded record must survive encoding and decoding again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "agent/service/ActivityEvent.h"
#include "agent/service/GrantPayload.h"
#include "agent/service/HeartbeatResponse.h"
#include "agent/service/RecordCodec.h"
#include "agent/service/RulesPayload.h"
#include "agent/service/UseSetupCodeResponse.h"
#include "agent/service/VersionInfo.h"
#include "agent/service/WebSocketClient.h"
#include "platform/JsonText.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/ManualMainQueue.h"

namespace {

using namespace tessary;

class CountingDelegate final : public WebSocketClientDelegate {
public:
    void webSocketDidReceiveRules(const RulesPayload&) override { ++calls; }
    void webSocketDidGrantAccess(const std::string&, std::optional<std::int64_t>) override { ++calls; }
    void webSocketDidDenyAccess(const std::string&) override { ++calls; }
    void webSocketDeviceDeauthorized() override { ++calls; }
    void webSocketDidConnect() override { ++calls; }
    std::size_t calls = 0;
};

template <typename Record>
void roundTrip(const std::string& bytes)
{
    auto decoded = RecordCodec<Record>::decode(bytes);
    if (!decoded)
        return;
    auto encoded = JsonText::dump(decoded.value().toJson());
    if (!encoded)
        __builtin_trap();
    auto again = RecordCodec<Record>::decode(encoded.value());
    if (!again || !(again.value() == decoded.value()))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static auto queue = std::make_shared<testing::ManualMainQueue>();
    static auto logSink = std::make_shared<MemoryLogSink>();
    static auto delegate = std::make_shared<CountingDelegate>();
    // No session: the client never opens a connection, only handles what it is given.
    static auto client = [] {
        auto made = std::make_shared<WebSocketClient>("wss://127.0.0.1/ws/device", "device-1", "token", nullptr, queue,
                                                      logSink);
        made->setDelegate(delegate);
        return made;
    }();

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    client->handleMessage(bytes);
    queue->runUntilIdle();
    logSink->clear();

    roundTrip<RulesPayload>(bytes);
    roundTrip<GrantPayload>(bytes);
    roundTrip<HeartbeatResponse>(bytes);
    roundTrip<UseSetupCodeResponse>(bytes);
    roundTrip<VersionInfo>(bytes);
    roundTrip<ActivityEvent>(bytes);
    return 0;
}
