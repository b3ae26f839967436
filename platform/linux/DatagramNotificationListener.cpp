#include "platform/linux/DatagramNotificationListener.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tessary {

namespace {

Error socketError(const std::string& what, const std::filesystem::path& path, int code)
{
    return Error{what + " " + path.string() + ": " + std::strerror(code)};
}

// A socket left behind by an agent that crashed would make bind fail; the single-instance lock
// guarantees it is not a live agent's. Anything that is not a socket is left alone.
void removeStaleSocket(const std::filesystem::path& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode))
        ::unlink(path.c_str());
}

}  // namespace

DatagramNotificationListener::DatagramNotificationListener(std::filesystem::path socketPath,
                                                           std::shared_ptr<MainQueue> mainQueue,
                                                           std::string threadName)
    : socketPath_(std::move(socketPath)), mainQueue_(std::move(mainQueue)), threadName_(std::move(threadName))
{
}

DatagramNotificationListener::~DatagramNotificationListener()
{
    stop();
}

std::optional<Error> DatagramNotificationListener::start(std::function<void()> onNotification)
{
    stop();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto& path = socketPath_.native();
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return Error{"The socket path " + path + " is too long"};
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    std::error_code ignored;
    std::filesystem::create_directories(socketPath_.parent_path(), ignored);
    removeStaleSocket(socketPath_);

    ScopedFd socketFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socketFd)
        return socketError("Could not create a socket for", socketPath_, errno);
    if (::bind(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return socketError("Could not bind", socketPath_, errno);
    ScopedFd stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd) {
        const int code = errno;
        socketFd.reset();
        ::unlink(socketPath_.c_str());
        return socketError("Could not create a stop signal for", socketPath_, code);
    }
    socketFd_ = std::move(socketFd);
    stopFd_ = std::move(stopFd);
    delivery_ = std::make_shared<Delivery>(Delivery{std::move(onNotification), true});
    reader_ = std::thread(&DatagramNotificationListener::receiveLoop, this, socketFd_.get(), stopFd_.get(), delivery_);
    return std::nullopt;
}

void DatagramNotificationListener::stop()
{
    if (delivery_)
        delivery_->active = false;
    delivery_.reset();
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto signalled = ::write(stopFd_.get(), &one, sizeof(one));
        reader_.join();
    }
    if (socketFd_) {
        socketFd_.reset();
        ::unlink(socketPath_.c_str());
    }
    stopFd_.reset();
}

void DatagramNotificationListener::receiveLoop(int socketFd, int stopFd, std::shared_ptr<Delivery> delivery)
{
    ::pthread_setname_np(::pthread_self(), threadName_.c_str());
    pollfd waits[2] = {{socketFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waits[1].revents != 0)
            return;
        char datagram[64];
        while (::recv(socketFd, datagram, sizeof(datagram), MSG_DONTWAIT) >= 0) {
            // The flag is read on the main thread only, where stop() also clears it.
            mainQueue_->post([delivery] {
                if (delivery->active)
                    delivery->callback();
            });
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return;
    }
}

}  // namespace tessary
