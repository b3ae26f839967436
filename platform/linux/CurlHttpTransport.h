#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <curl/curl.h>

#include "platform/HttpTransport.h"

namespace tessary {

// libcurl on one worker thread of its own, driving every request concurrently through a multi
// handle. Peer and host name are always verified, TLS 1.2 or later, with the system's trust
// store plus, when given, one extra CA certificate.
class CurlHttpTransport final : public HttpTransport {
public:
    explicit CurlHttpTransport(std::optional<std::filesystem::path> extraCaFile = std::nullopt,
                               std::chrono::seconds defaultTimeout = std::chrono::seconds(60));
    ~CurlHttpTransport() override;
    CurlHttpTransport(const CurlHttpTransport&) = delete;
    CurlHttpTransport& operator=(const CurlHttpTransport&) = delete;

    void send(HttpRequest request, Completion completion) override;

private:
    struct Transfer;

    void run();
    void start(std::unique_ptr<Transfer> transfer);
    void finish(CURL* easy, CURLcode result);

    std::optional<std::filesystem::path> extraCaFile_;
    std::chrono::seconds defaultTimeout_;
    CURLM* multi_;
    std::mutex mutex_;
    std::deque<std::unique_ptr<Transfer>> incoming_;
    bool stopping_ = false;
    std::set<Transfer*> active_;  // worker thread only
    std::thread worker_;
};

}  // namespace tessary
