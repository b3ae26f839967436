#include "platform/linux/SystemLogSink.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/linux/ScopedFd.h"

namespace tessary {

namespace {

int priority(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return LOG_DEBUG;
    case LogLevel::info:
        return LOG_INFO;
    case LogLevel::error:
        return LOG_ERR;
    }
    return LOG_INFO;
}

const char* levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::error:
        return "error";
    }
    return "info";
}

// One field of the journal's native protocol. The length-prefixed form carries any bytes, a
// newline included, where "NAME=value\n" would end the field early.
void appendField(std::string& entry, const char* name, std::string_view value)
{
    entry += name;
    if (value.find('\n') == std::string_view::npos) {
        entry += '=';
        entry += value;
    } else {
        entry += '\n';
        const std::uint64_t size = value.size();
        for (int shift = 0; shift < 64; shift += 8)
            entry += static_cast<char>((size >> shift) & 0xFFU);
        entry += value;
    }
    entry += '\n';
}

// An entry too large for one datagram goes as a sealed memory file, as the journal expects then.
void sendAsMemoryFile(int socketFd, const sockaddr_un& address, std::string_view entry)
{
    ScopedFd memory(::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory)
        return;
    for (std::string_view rest = entry; !rest.empty();) {
        const auto written = ::write(memory.get(), rest.data(), rest.size());
        if (written <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_un*>(&address);
    message.msg_namelen = sizeof address;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = memory.get();
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    [[maybe_unused]] const auto sent = ::sendmsg(socketFd, &message, MSG_NOSIGNAL);
}

}  // namespace

SystemLogSink::SystemLogSink(std::filesystem::path journalSocket, bool toStderr, LogLevel lowest)
    : journalSocket_(std::move(journalSocket)), toStderr_(toStderr), lowest_(lowest)
{
}

std::shared_ptr<SystemLogSink> SystemLogSink::fromEnvironment(LogLevel quietBelow)
{
    const bool journal = ::access(kJournalSocket, W_OK) == 0;
    const char* forced = std::getenv("TESSARY_LOG_STDERR");
    const bool watched = (forced != nullptr && std::strcmp(forced, "1") == 0) || ::isatty(STDERR_FILENO) == 1;
    return std::make_shared<SystemLogSink>(journal ? kJournalSocket : "", !journal || watched,
                                           watched ? LogLevel::debug : quietBelow);
}

bool SystemLogSink::keeps(LogLevel level) const
{
    return level >= lowest_;
}

void SystemLogSink::write(const LogRecord& record)
{
    if (!keeps(record.level))
        return;
    if (!journalSocket_.empty())
        writeJournal(record);
    if (toStderr_) {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm local{};
        ::localtime_r(&seconds, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        const std::lock_guard lock(stderrMutex_);
        std::fprintf(stderr, "%s.%03lld %s [%s:%s] %s\n", stamp, static_cast<long long>(millis),
                     levelName(record.level), record.subsystem.c_str(), record.category.c_str(),
                     record.message.c_str());
    }
}

void SystemLogSink::writeJournal(const LogRecord& record) const
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto& path = journalSocket_.native();
    if (path.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    std::string entry;
    entry.reserve(record.message.size() + record.subsystem.size() + record.category.size() + 96);
    appendField(entry, "MESSAGE", record.message);
    appendField(entry, "PRIORITY", std::to_string(priority(record.level)));
    appendField(entry, "SUBSYSTEM", record.subsystem);
    appendField(entry, "CATEGORY", record.category);
    appendField(entry, "SYSLOG_IDENTIFIER", program_invocation_short_name);

    ScopedFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return;
    // A line that cannot be delivered is lost, as with the journal's own client library.
    if (::sendto(socket.get(), entry.data(), entry.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                 sizeof address) < 0 &&
        (errno == EMSGSIZE || errno == ENOBUFS))
        sendAsMemoryFile(socket.get(), address, entry);
}

}  // namespace tessary
