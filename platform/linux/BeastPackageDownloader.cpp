#include "platform/linux/BeastPackageDownloader.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "platform/linux/FileDescriptorOutput.h"
#include "platform/linux/HttpsExchange.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/TlsClientContext.h"

namespace tessary {

namespace asio = boost::asio;

namespace {

constexpr auto kConnectLimit = std::chrono::seconds(30);

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
        fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
        if (!fd_)
            openError_ = errno;
        else
            path_ = pattern;
    }
    ~PartialFile() { discard(); }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool isOpen() const { return static_cast<bool>(fd_); }
    int openError() const { return openError_; }

    // False with errno set when the bytes could not all be written.
    bool append(std::string_view bytes)
    {
        errno = 0;
        if (FileDescriptorOutput(fd_.get()).writeAll(bytes))
            return true;
        if (errno == 0)
            errno = EIO;
        return false;
    }

    std::optional<Error> moveTo(const std::filesystem::path& destination)
    {
        // Readable by others: the desktop's installer may read the package as another user.
        if (::fchmod(fd_.get(), 0644) != 0 || !fd_.close())
            return systemError("Could not write", path_, errno);
        if (::rename(path_.c_str(), destination.c_str()) != 0)
            return systemError("Could not replace", destination, errno);
        path_.clear();
        return std::nullopt;
    }

    // Removes the file unless it was moved into place.
    void discard()
    {
        fd_.reset();
        if (!path_.empty())
            ::unlink(path_.c_str());
        path_.clear();
    }

private:
    ScopedFd fd_;
    int openError_ = 0;
    std::string path_;
};

struct Job {
    std::string url;
    std::filesystem::path destination;
    PackageDownloader::Completion completion;
};

}  // namespace

struct BeastPackageDownloader::Core {
    Core(const std::optional<std::filesystem::path>& extraCaFile, std::chrono::seconds chosenStallTimeout)
        : tls(std::make_shared<TlsClientContext>(extraCaFile)), stallTimeout(chosenStallTimeout)
    {
    }

    // On the io thread, as are all that follow.
    void startNext()
    {
        if (stopping || current || waiting.empty())
            return;
        auto job = std::move(waiting.front());
        waiting.pop_front();
        auto file = std::make_shared<PartialFile>(job.destination);
        if (!file->isOpen()) {
            job.completion(systemError("Could not create a file in", job.destination.parent_path(), file->openError()));
            return startNext();
        }
        auto bytes = std::make_shared<std::uintmax_t>(0);
        HttpsExchange::Receiver receiver{
            [](long status) -> std::optional<Error> {
                // An error page is not a package: it must never reach the installer.
                if (status < 200 || status > 299)
                    return Error{"The server answered the package download with HTTP status " +
                                 std::to_string(status) + "."};
                return std::nullopt;
            },
            [file, bytes, destination = job.destination](std::string_view piece) -> std::optional<Error> {
                if (!file->append(piece))
                    return systemError("Could not write", destination, errno);
                *bytes += piece.size();
                return std::nullopt;
            }};
        const HttpsExchange::Limits limits{std::nullopt, kConnectLimit, stallTimeout};
        current = std::make_shared<HttpsExchange>(
            io, tls, HttpRequest{"GET", job.url, {}, std::nullopt, std::nullopt}, limits, std::move(receiver),
            [this, file, bytes, destination = job.destination,
             completion = std::move(job.completion)](Expected<long> status) {
                auto outcome = finished(*file, destination, std::move(status), *bytes);
                // The receiver holds the file too; nothing may be left behind once the caller hears.
                file->discard();
                completion(std::move(outcome));
                current.reset();
                startNext();
            });
        current->start();
    }

    static Expected<Download> finished(PartialFile& file, const std::filesystem::path& destination,
                                       Expected<long> status, std::uintmax_t bytes)
    {
        if (!status)
            return status.error();
        if (bytes == 0)
            return Error{"The server answered the package download with an empty body."};
        if (auto failure = file.moveTo(destination))
            return *failure;
        return Download{destination, status.value(), bytes};
    }

    const std::shared_ptr<asio::io_context> io = std::make_shared<asio::io_context>(1);
    const std::shared_ptr<TlsClientContext> tls;
    const std::chrono::seconds stallTimeout;
    asio::executor_work_guard<asio::io_context::executor_type> work{io->get_executor()};
    std::deque<Job> waiting;
    std::shared_ptr<HttpsExchange> current;
    bool stopping = false;
    std::thread thread;
};

BeastPackageDownloader::BeastPackageDownloader(std::optional<std::filesystem::path> extraCaFile,
                                               std::chrono::seconds stallTimeout)
    : extraCaFile_(std::move(extraCaFile)), stallTimeout_(stallTimeout)
{
}

BeastPackageDownloader::~BeastPackageDownloader()
{
    if (!core_)
        return;
    asio::post(*core_->io, [core = core_.get()] {
        core->stopping = true;
        if (core->current)
            core->current->abort(Error{"cancelled"});
        auto cancelled = std::move(core->waiting);
        core->waiting.clear();
        for (auto& job : cancelled)
            job.completion(Error{"cancelled"});
        core->work.reset();
    });
    core_->thread.join();
}

void BeastPackageDownloader::download(std::string url, std::filesystem::path destination, Completion completion)
{
    const std::lock_guard lock(mutex_);
    if (!core_) {
        core_ = std::make_unique<Core>(extraCaFile_, stallTimeout_);
        core_->thread = std::thread([core = core_.get()] {
            ::pthread_setname_np(::pthread_self(), "download");
            core->io->run();
        });
    }
    asio::post(*core_->io, [core = core_.get(), job = Job{std::move(url), std::move(destination),
                                                           std::move(completion)}]() mutable {
        core->waiting.push_back(std::move(job));
        core->startNext();
    });
}

}  // namespace tessary
