#include "platform/linux/CurlHttpTransport.h"

#include <pthread.h>

#include "platform/linux/CurlTransferPolicy.h"

namespace tessary {

struct CurlHttpTransport::Transfer {
    HttpRequest request;
    Completion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string responseBody;
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer()
    {
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
};

namespace {

constexpr int kIdleWaitMs = 24 * 60 * 60 * 1000;

size_t appendBody(char* data, size_t size, size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

CurlHttpTransport::CurlHttpTransport(std::optional<std::filesystem::path> extraCaFile,
                                     std::chrono::seconds defaultTimeout)
    : extraCaFile_(std::move(extraCaFile)), defaultTimeout_(defaultTimeout)
{
    CurlTransferPolicy::initialiseLibrary();
    multi_ = curl_multi_init();
    worker_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "https");
        run();
    });
}

CurlHttpTransport::~CurlHttpTransport()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    worker_.join();
    curl_multi_cleanup(multi_);
}

void CurlHttpTransport::send(HttpRequest request, Completion completion)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    {
        const std::lock_guard lock(mutex_);
        incoming_.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi_);
}

void CurlHttpTransport::start(std::unique_ptr<Transfer> transfer)
{
    CURL* easy = curl_easy_init();
    if (!easy) {
        transfer->completion(Error{"The HTTP transfer could not be created."});
        return;
    }
    transfer->easy = easy;
    const auto& request = transfer->request;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    CurlTransferPolicy::apply(easy, extraCaFile_);
    const auto timeout = request.timeout.value_or(defaultTimeout_);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer->responseBody);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());

    if (request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        const std::string& body = request.body ? *request.body : std::string();
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body ? request.body->c_str() : "");
        if (request.method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    // curl drops "Name:" with nothing after it; "Name;" sends the header with an empty value.
    for (const auto& [name, value] : request.headers)
        transfer->headers =
            curl_slist_append(transfer->headers, (value.empty() ? name + ";" : name + ": " + value).c_str());
    // No 100-continue round trip for bodies.
    transfer->headers = curl_slist_append(transfer->headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);

    curl_multi_add_handle(multi_, easy);
    active_.insert(transfer.get());
    transfer.release();  // owned through CURLOPT_PRIVATE until finish()
}

void CurlHttpTransport::finish(CURL* easy, CURLcode result)
{
    Transfer* raw = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &raw);
    std::unique_ptr<Transfer> transfer(raw);
    active_.erase(raw);
    curl_multi_remove_handle(multi_, easy);
    if (result != CURLE_OK) {
        std::string text = transfer->errorText[0] != '\0' ? transfer->errorText : curl_easy_strerror(result);
        transfer->completion(Error{text});
        return;
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    transfer->completion(HttpReply{status > 0 ? status : -1, std::move(transfer->responseBody)});
}

void CurlHttpTransport::run()
{
    while (true) {
        std::deque<std::unique_ptr<Transfer>> arrived;
        bool stopping = false;
        {
            const std::lock_guard lock(mutex_);
            arrived.swap(incoming_);
            stopping = stopping_;
        }
        if (stopping)
            break;
        for (auto& transfer : arrived)
            start(std::move(transfer));

        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE)
                finish(message->easy_handle, message->data.result);
        }
        // curl shortens the wait to its own next deadline while transfers run; an idle transport
        // sleeps until send() or the destructor wakes it, not once a second.
        curl_multi_poll(multi_, nullptr, 0, active_.empty() ? kIdleWaitMs : 1000, nullptr);
    }

    // Transfers still running or waiting when the transport goes away end as cancelled.
    for (Transfer* raw : active_) {
        std::unique_ptr<Transfer> transfer(raw);
        curl_multi_remove_handle(multi_, transfer->easy);
        transfer->completion(Error{"cancelled"});
    }
    active_.clear();
    std::deque<std::unique_ptr<Transfer>> waiting;
    {
        const std::lock_guard lock(mutex_);
        waiting.swap(incoming_);
    }
    for (auto& transfer : waiting)
        transfer->completion(Error{"cancelled"});
}

}  // namespace tessary
