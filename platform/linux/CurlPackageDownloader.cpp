#include "platform/linux/CurlPackageDownloader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>

#include "platform/linux/CurlTransferPolicy.h"
#include "platform/linux/FileDescriptorOutput.h"

namespace tessary {

namespace {

Error systemError(const std::string& what, const std::filesystem::path& path, int code)
{
    return Error{what + " " + path.string() + ": " + std::strerror(code)};
}

// The body as it arrives, in a hidden file beside the destination (so the final rename stays on one
// file system). Removed on every path except a successful rename into place.
class PartialFile {
public:
    explicit PartialFile(const std::filesystem::path& destination)
    {
        auto pattern = (destination.parent_path() / ("." + destination.filename().string() + ".part-XXXXXX")).string();
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0)
            openError_ = errno;
        else
            path_ = pattern;
    }
    ~PartialFile()
    {
        closeFile();
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int openError() const { return openError_; }

    // False with errno set when the bytes could not all be written.
    bool append(std::string_view bytes)
    {
        errno = 0;
        if (FileDescriptorOutput(fd_).writeAll(bytes))
            return true;
        if (errno == 0)
            errno = EIO;
        return false;
    }

    std::optional<Error> moveTo(const std::filesystem::path& destination)
    {
        // Readable by others: the desktop's installer may read the package as another user.
        if (::fchmod(fd_, 0644) != 0 || !closeFile())
            return systemError("Could not write", path_, errno);
        if (::rename(path_.c_str(), destination.c_str()) != 0)
            return systemError("Could not replace", destination, errno);
        path_.clear();
        return std::nullopt;
    }

private:
    bool closeFile()
    {
        if (fd_ < 0)
            return true;
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

    int fd_ = -1;
    int openError_ = 0;
    std::string path_;
};

struct BodySink {
    PartialFile* file;
    std::uintmax_t bytes = 0;
    int writeError = 0;
};

size_t writeBody(char* data, size_t size, size_t count, void* target)
{
    auto* sink = static_cast<BodySink*>(target);
    const size_t length = size * count;
    if (!sink->file->append(std::string_view(data, length))) {
        sink->writeError = errno;
        return 0;  // fewer bytes than given ends the transfer with CURLE_WRITE_ERROR
    }
    sink->bytes += length;
    return length;
}

int abortWhenStopping(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

struct EasyHandle {
    EasyHandle() : easy(curl_easy_init()) {}
    ~EasyHandle()
    {
        if (easy)
            curl_easy_cleanup(easy);
    }
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;

    CURL* easy;
};

}  // namespace

CurlPackageDownloader::CurlPackageDownloader(std::optional<std::filesystem::path> extraCaFile,
                                             std::chrono::seconds stallTimeout)
    : extraCaFile_(std::move(extraCaFile)), stallTimeout_(stallTimeout)
{
    CurlTransferPolicy::initialiseLibrary();
}

CurlPackageDownloader::~CurlPackageDownloader()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void CurlPackageDownloader::download(std::string url, std::filesystem::path destination, Completion completion)
{
    {
        const std::lock_guard lock(mutex_);
        waiting_.push_back(Job{std::move(url), std::move(destination), std::move(completion)});
        // Started by the first download: most agents never download an update.
        if (!worker_.joinable())
            worker_ = std::thread([this] {
                ::pthread_setname_np(::pthread_self(), "download");
                run();
            });
    }
    wake_.notify_all();
}

void CurlPackageDownloader::run()
{
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                break;
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        job.completion(perform(job));
    }

    std::deque<Job> cancelled;
    {
        const std::lock_guard lock(mutex_);
        cancelled.swap(waiting_);
    }
    for (auto& job : cancelled)
        job.completion(Error{"cancelled"});
}

Expected<PackageDownloader::Download> CurlPackageDownloader::perform(const Job& job)
{
    PartialFile file(job.destination);
    if (!file.isOpen())
        return systemError("Could not create a file in", job.destination.parent_path(), file.openError());
    const EasyHandle handle;
    if (!handle.easy)
        return Error{"The HTTP transfer could not be created."};

    CURL* easy = handle.easy;
    BodySink sink{&file};
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, job.url.c_str());
    CurlTransferPolicy::apply(easy, extraCaFile_);
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallTimeout_.count()));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &abortWhenStopping);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &stopping_);

    const CURLcode result = curl_easy_perform(easy);
    if (result == CURLE_ABORTED_BY_CALLBACK)
        return Error{"cancelled"};
    if (result == CURLE_WRITE_ERROR && sink.writeError != 0)
        return systemError("Could not write", job.destination, sink.writeError);
    if (result != CURLE_OK)
        return Error{errorText[0] != '\0' ? errorText : curl_easy_strerror(result)};

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    // An error page is not a package: it must never reach the installer.
    if (status < 200 || status > 299)
        return Error{"The server answered the package download with HTTP status " + std::to_string(status) + "."};
    if (sink.bytes == 0)
        return Error{"The server answered the package download with an empty body."};
    if (auto failure = file.moveTo(job.destination))
        return *failure;
    return Download{job.destination, status, sink.bytes};
}

}  // namespace tessary
