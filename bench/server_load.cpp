// A thousand devices on the family server at once: each holds its channel (TLS WebSocket at
// /ws/device) and reports a page visit every 2 s, the devices spread evenly over those 2 s, against
// the real service with its SQLite store on a temporary file. The devices run in a forked child, so
// this process's CPU and memory are the server's alone. Prints the time to open every channel, the
// time from a device sending a visit to the store having committed it (both stamped on
// CLOCK_MONOTONIC), and the server's resident memory and CPU while the visits flow; asserts nothing.
//   server_load [devices] [seconds]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "server/service/FamilyService.h"
#include "server/service/HttpsServer.h"
#include "server/service/ServerCertificates.h"
#include "server/storage/SqliteFamilyStore.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WaitUntil.h"

using namespace tessary;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;

namespace {

constexpr auto kPeriod = 2s;
// Channels opening at once, as when every device comes back after the server restarts.
constexpr std::size_t kConnectWindow = 64;
constexpr auto kConnectLimit = 90s;
// Filling the store with the devices, one synchronous transaction each.
constexpr auto kPrepareLimit = 300s;
// After the last send, for what is still on its way to be stored.
constexpr auto kDrainLimit = 60s;
constexpr auto kExitLimit = 10s;
constexpr double kTargetP99Ms = 50, kTargetMemoryMB = 200, kTargetCpuPercent = 50;
// The send time rides in each visit's URL, which the service stores as it is and reads nothing from.
constexpr std::string_view kSentMarker = "?sent=";
constexpr std::string_view kStatusFrame = R"({"type":"status","payload":{"online":true}})";

std::string deviceIdOf(std::size_t n) { return "load-device-" + std::to_string(n); }
std::string tokenOf(std::size_t n) { return "load-token-" + std::to_string(n) + "-5f0c2a9e71d4b368"; }

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

double secondsSince(SteadyClock::time_point from) { return std::chrono::duration<double>(SteadyClock::now() - from).count(); }

// User and system time of every thread of this process.
double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// A field of /proc/self/status given in kB ("VmRSS", "VmHWM"), in MB.
double memoryMB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::strtod(line.c_str() + field.size() + 1, nullptr) / 1024.0;
    return 0;
}

// The next line from fd; nothing at end of output or at the deadline.
std::optional<std::string> readLine(int fd, std::string& pending, SteadyClock::time_point deadline)
{
    std::size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        char chunk[256];
        ssize_t n = 0;
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) != 1 || (n = ::read(fd, chunk, sizeof chunk)) <= 0)
            return std::nullopt;
        pending.append(chunk, static_cast<std::size_t>(n));
    }
    auto line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return line;
}

void say(int fd, const std::string& line)
{
    [[maybe_unused]] const auto written = ::write(fd, (line + "\n").data(), line.size() + 1);
}

// The devices' side, in the child: every channel on one io thread, a coroutine or two per device.
class Fleet {
public:
    Fleet(std::size_t count, std::uint16_t port, const std::string& caFile, int report)
        : endpoint_(asio::ip::make_address("127.0.0.1"), port), host_("127.0.0.1:" + std::to_string(port)), report_(report)
    {
        tls_.load_verify_file(caFile);
        tls_.set_verify_mode(ssl::verify_peer);
        for (std::size_t n = 0; n < count; ++n)
            devices_.push_back(std::make_unique<Channel>(io_, tls_));
    }

    // Opens every channel, then each device sends at its own phase within the period until
    // `duration` has passed; says on the parent's socket how each step went. False when a channel failed.
    bool run(std::chrono::seconds duration)
    {
        const auto connecting = SteadyClock::now();
        for (std::size_t n = 0; n < kConnectWindow; ++n)
            asio::co_spawn(io_, opener(), asio::detached);
        io_.run_for(kConnectLimit);
        if (connected_ < devices_.size()) {
            say(report_, "failed " + std::to_string(connected_) + " of " + std::to_string(devices_.size()) +
                             " channels opened (limit " + std::to_string(kConnectLimit.count()) + " s)" +
                             (firstError_.empty() ? "" : "; first failure: " + firstError_));
            return false;
        }
        say(report_, "connected " + std::to_string(secondsSince(connecting) * 1000));
        io_.restart();
        const auto cpu = cpuSeconds();
        const auto start = SteadyClock::now() + 50ms;
        end_ = start + duration;
        const auto count = static_cast<std::int64_t>(devices_.size());
        for (std::int64_t n = 0; n < count; ++n)
            asio::co_spawn(io_, sender(static_cast<std::size_t>(n), start + std::chrono::nanoseconds(kPeriod) * n / count),
                           asio::detached);
        io_.run_for(duration + kDrainLimit);
        std::ostringstream summary;
        summary << "sent " << sent_ << ' ' << writeErrors_ << ' ' << dropped_ << ' '
                << std::chrono::duration<double, std::milli>(maxLag_).count() << ' '
                << (cpuSeconds() - cpu) / secondsSince(start) * 100;
        say(report_, summary.str());
        return true;
    }

private:
    using Channel = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

    // Opens the next channel not yet taken until none is left.
    asio::awaitable<void> opener()
    {
        for (std::size_t n; (n = nextToOpen_++) < devices_.size();) {
            auto& channel = *devices_[n];
            try {
                beast::get_lowest_layer(channel).expires_after(30s);
                co_await beast::get_lowest_layer(channel).async_connect(endpoint_, asio::use_awaitable);
                channel.next_layer().set_verify_callback(ssl::host_name_verification("127.0.0.1"));
                co_await channel.next_layer().async_handshake(ssl::stream_base::client, asio::use_awaitable);
                channel.set_option(websocket::stream_base::decorator([n](websocket::request_type& request) {
                    request.set("X-Device-Id", deviceIdOf(n));
                    request.set(beast::http::field::authorization, "Bearer " + tokenOf(n));
                }));
                co_await channel.async_handshake(host_, "/ws/device", asio::use_awaitable);
                beast::get_lowest_layer(channel).expires_never();
                // As the agent does once its channel opens.
                co_await channel.async_write(asio::buffer(kStatusFrame), asio::use_awaitable);
                ++connected_;
                asio::co_spawn(io_, reader(channel), asio::detached);
            } catch (const std::exception& e) {
                if (failed_++ == 0)
                    firstError_ = e.what();
            }
            if (connected_ + failed_ == devices_.size())
                io_.stop();
        }
    }

    // Whatever the server sends; a channel that ends is counted.
    asio::awaitable<void> reader(Channel& channel)
    {
        beast::flat_buffer incoming;
        beast::error_code ec;
        while (!ec) {
            co_await channel.async_read(incoming, asio::redirect_error(asio::use_awaitable, ec));
            incoming.clear();
        }
        ++dropped_;
    }

    asio::awaitable<void> sender(std::size_t n, SteadyClock::time_point next)
    {
        const auto site = "https://site-" + std::to_string(n % 300) + ".example/page";
        asio::steady_timer timer(io_);
        for (; next < end_; next += kPeriod) {
            timer.expires_at(next);
            co_await timer.async_wait(asio::use_awaitable);
            maxLag_ = std::max(maxLag_, SteadyClock::now() - next);
            const auto frame = R"({"type":"activity","payload":{"events":[{"type":"site_visit","url":")" + site +
                               std::string(kSentMarker) + std::to_string(monotonicNs()) + R"(","ts":)" +
                               std::to_string(std::time(nullptr)) + "}]}}";
            beast::error_code ec;
            co_await devices_[n]->async_write(asio::buffer(frame), asio::redirect_error(asio::use_awaitable, ec));
            ++(ec ? writeErrors_ : sent_);
        }
        if (++finished_ == devices_.size())
            io_.stop();
    }

    asio::io_context io_{1};
    ssl::context tls_{ssl::context::tls_client};
    const asio::ip::tcp::endpoint endpoint_;
    const std::string host_;
    const int report_;
    std::vector<std::unique_ptr<Channel>> devices_;
    std::size_t nextToOpen_ = 0, connected_ = 0, failed_ = 0, finished_ = 0;
    std::size_t sent_ = 0, writeErrors_ = 0, dropped_ = 0;
    std::string firstError_;
    SteadyClock::time_point end_;
    SteadyClock::duration maxLag_{};
};

// The child: told the port, it opens the channels, sends, reports each step, and keeps its
// channels open until the parent has counted what arrived (and shut its side of the socket).
[[noreturn]] void runDevices(int parent, std::size_t count, std::chrono::seconds duration, const std::string& caFile)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string pending;
    try {
        const auto port = readLine(parent, pending, SteadyClock::now() + kPrepareLimit);
        if (!port)
            ::_exit(1);
        Fleet fleet(count, static_cast<std::uint16_t>(std::stoi(*port)), caFile, parent);
        if (!fleet.run(duration))
            ::_exit(1);
        static_cast<void>(readLine(parent, pending, SteadyClock::now() + kPrepareLimit));
    } catch (const std::exception& e) {
        say(parent, std::string("failed ") + e.what());
        ::_exit(1);
    }
    ::_exit(0);
}

// The devices' process, ended on every way out: told so, then killed if it lingers.
struct DevicesProcess {
    pid_t pid;
    int socket;
    ~DevicesProcess()
    {
        ::shutdown(socket, SHUT_WR);
        if (!testing::waitForExit(pid, kExitLimit))
            ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(socket);
    }
};

double percentile(const std::vector<double>& sorted, double p)
{
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)];
}

int fail(const std::string& why)
{
    std::fprintf(stderr, "server_load: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    const auto devices = static_cast<std::size_t>(argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000);
    const auto duration = std::chrono::seconds(argc > 2 ? std::max(1, std::atoi(argv[2])) : 30);
    // Two sides of a thousand sockets each; the child inherits the limit.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::signal(SIGPIPE, SIG_IGN);

    testing::TemporaryFolder folder;
    auto certificates = server::ServerCertificates::loadOrCreate(folder.path() / "service", {"127.0.0.1"});
    if (!certificates)
        return fail("no certificates: " + certificates.error().description);
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return fail("no socket pair");
    // Forked while this process has one thread, before the server starts its own.
    const pid_t child = ::fork();
    if (child < 0)
        return fail("no fork");
    if (child == 0) {
        ::close(sockets[0]);
        runDevices(sockets[1], devices, duration, certificates.value().caFile.string());
    }
    ::close(sockets[1]);
    const DevicesProcess devicesProcess{child, sockets[0]};

    auto opened = server::SqliteFamilyStore::open(folder.path() / "service.sqlite3");
    if (!opened)
        return fail("no store: " + opened.error().description);
    const std::shared_ptr<server::FamilyStore> store = std::move(opened).value();
    for (std::size_t n = 0; n < devices; ++n) {
        server::StoredDevice device;
        device.id = deviceIdOf(n);
        device.token = tokenOf(n);
        device.familyId = "family-" + std::to_string(n / 3);
        device.pairing = {{"deviceId", device.id}, {"deviceName", "Device " + std::to_string(n)}};
        if (const auto failure = store->putDevice(device))
            return fail("a device was not kept: " + failure->description);
    }
    // The admin interface stays off: it would keep every frame in memory.
    auto service = std::make_shared<server::FamilyService>(store);
    // Visit-to-stored times, taken once the store has committed each frame.
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::int64_t> nanoseconds;
    nanoseconds.reserve(devices * static_cast<std::size_t>(duration / kPeriod + 1));
    service->setFrameObserver([&](const std::string&, const std::string& text) {
        const auto now = monotonicNs();
        if (const auto marker = text.find(kSentMarker); marker != std::string::npos) {
            const std::lock_guard lock(mutex);
            nanoseconds.push_back(now - std::strtoll(text.c_str() + marker + kSentMarker.size(), nullptr, 10));
            arrived.notify_all();
        }
    });
    server::HttpsServer server(service, certificates.value());
    const auto port = server.start();
    if (!port)
        return fail("the server did not start: " + port.error().description);

    const auto cpuConnecting = cpuSeconds();
    say(devicesProcess.socket, std::to_string(port.value()));
    std::string pending;
    auto line = readLine(devicesProcess.socket, pending, SteadyClock::now() + kConnectLimit + 10s);
    if (!line || line->rfind("connected ", 0) != 0)
        return fail("the devices did not all connect: " +
                    (!line ? "no word from the devices' process in time"
                           : line->rfind("failed ", 0) == 0 ? line->substr(7) : *line));
    const double connectMs = std::atof(line->c_str() + 10);
    const auto cpuStart = cpuSeconds();
    const auto wallStart = SteadyClock::now();

    line = readLine(devicesProcess.socket, pending, SteadyClock::now() + duration + kDrainLimit + 10s);
    std::size_t sent = 0, writeErrors = 0, dropped = 0;
    double lagMs = 0, devicesCpu = 0;
    std::istringstream fields(line.value_or(""));
    std::string word;
    if (!(fields >> word >> sent >> writeErrors >> dropped >> lagMs >> devicesCpu) || word != "sent")
        return fail("the devices did not finish sending: " + line.value_or("no word from the devices' process in time"));
    std::vector<double> ms;
    {
        std::unique_lock lock(mutex);
        arrived.wait_until(lock, SteadyClock::now() + kDrainLimit, [&] { return nanoseconds.size() >= sent; });
        for (const auto ns : nanoseconds)
            ms.push_back(static_cast<double>(ns) / 1e6);
    }
    const auto window = secondsSince(wallStart);
    const auto cpuPercent = (cpuSeconds() - cpuStart) / window * 100;
    const auto rss = memoryMB("VmRSS");
    const auto peak = memoryMB("VmHWM");
    server.stop();
    std::sort(ms.begin(), ms.end());

    std::printf("server_load: %zu devices on TLS channels, a visit each every %lld s for %lld s; SQLite store in %s\n",
                devices, static_cast<long long>(kPeriod.count()), static_cast<long long>(duration.count()),
                folder.path().c_str());
    std::printf("  every channel open in %.0f ms (server CPU %.0f ms)\n", connectMs, (cpuStart - cpuConnecting) * 1000);
    std::printf("  visits stored %zu of %zu sent (write errors %zu, channels dropped %zu; devices' send lag max %.1f ms, "
                "devices' CPU %.0f %%)\n",
                ms.size(), sent, writeErrors, dropped, lagMs, devicesCpu);
    if (!ms.empty())
        std::printf("  visit-to-stored: p50 %.2f ms  p95 %.2f ms  p99 %.2f ms (target <= %.0f ms)  max %.2f ms\n",
                    percentile(ms, 0.50), percentile(ms, 0.95), percentile(ms, 0.99), kTargetP99Ms, ms.back());
    std::printf("  server memory: VmRSS %.1f MB, VmHWM %.1f MB (target <= %.0f MB)\n", rss, peak, kTargetMemoryMB);
    std::printf("  server CPU: %.1f %% of one core over %.1f s of visits (target <= %.0f %%)\n", cpuPercent, window,
                kTargetCpuPercent);
    if (ms.size() < sent)
        return fail("only " + std::to_string(ms.size()) + " of " + std::to_string(sent) + " visits were stored within " +
                    std::to_string(kDrainLimit.count()) + " s of the last send");
    return 0;
}
