#include "platform/linux/BeastHttpTransport.h"

#include <pthread.h>

#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "platform/linux/HttpsExchange.h"
#include "platform/linux/TlsClientContext.h"

namespace tessary {

namespace asio = boost::asio;

namespace {

// The service's replies are small JSON documents; a larger one is broken or hostile.
constexpr std::size_t kLargestReply = 16 * 1024 * 1024;

}  // namespace

struct BeastHttpTransport::Core {
    explicit Core(const std::optional<std::filesystem::path>& extraCaFile)
        : tls(std::make_shared<TlsClientContext>(extraCaFile))
    {
    }

    // On the io thread.
    void start(HttpRequest request, std::chrono::seconds timeout, Completion completion)
    {
        auto body = std::make_shared<std::string>();
        HttpsExchange::Receiver receiver{
            [](long) { return std::optional<Error>(); },
            [body](std::string_view bytes) -> std::optional<Error> {
                if (body->size() + bytes.size() > kLargestReply)
                    return Error{"The reply is larger than " + std::to_string(kLargestReply / (1024 * 1024)) +
                                 " MiB."};
                body->append(bytes);
                return std::nullopt;
            }};
        auto exchange = std::make_shared<HttpsExchange>(
            io, tls, std::move(request), HttpsExchange::Limits{timeout, std::nullopt, std::nullopt},
            std::move(receiver), [this, body, completion = std::move(completion)](Expected<long> status) {
                if (status)
                    completion(HttpReply{status.value(), std::move(*body)});
                else
                    completion(status.error());
                std::erase_if(running, [](const auto& done) { return done->finished(); });
            });
        running.push_back(exchange);
        exchange->start();
    }

    const std::shared_ptr<asio::io_context> io = std::make_shared<asio::io_context>(1);
    const std::shared_ptr<TlsClientContext> tls;
    asio::executor_work_guard<asio::io_context::executor_type> work{io->get_executor()};
    std::vector<std::shared_ptr<HttpsExchange>> running;  // io thread only
    std::thread thread;
};

BeastHttpTransport::BeastHttpTransport(std::optional<std::filesystem::path> extraCaFile,
                                       std::chrono::seconds defaultTimeout)
    : defaultTimeout_(defaultTimeout), core_(std::make_unique<Core>(extraCaFile))
{
    // Blocked in run() while idle: the transport wakes only for requests.
    core_->thread = std::thread([core = core_.get()] {
        ::pthread_setname_np(::pthread_self(), "https");
        core->io->run();
    });
}

BeastHttpTransport::~BeastHttpTransport()
{
    asio::post(*core_->io, [core = core_.get()] {
        const auto running = core->running;
        for (const auto& exchange : running)
            exchange->abort(Error{"cancelled"});
        core->work.reset();
    });
    core_->thread.join();
}

void BeastHttpTransport::send(HttpRequest request, Completion completion)
{
    const auto timeout = request.timeout.value_or(defaultTimeout_);
    asio::post(*core_->io, [core = core_.get(), request = std::move(request), timeout,
                            completion = std::move(completion)]() mutable {
        core->start(std::move(request), timeout, std::move(completion));
    });
}

}  // namespace tessary
