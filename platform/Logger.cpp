#include "platform/Logger.h"

#include <array>
#include <charconv>

namespace tessary {

LogArgument::LogArgument(double seconds)
{
    // As printf's %f, but with a dot whatever the locale (the Qt agent adopts the user's).
    std::array<char, 512> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds, std::chars_format::fixed, 6);
    text_.assign(buffer.data(), result.ec == std::errc() ? result.ptr : buffer.data());
}

Logger::Logger(std::shared_ptr<LogSink> sink, std::string subsystem, std::string category)
    : sink_(std::move(sink)), subsystem_(std::move(subsystem)), category_(std::move(category))
{
}

void Logger::debug(std::string_view format, std::initializer_list<LogArgument> arguments) const
{
    write(LogLevel::debug, format, arguments);
}

void Logger::info(std::string_view format, std::initializer_list<LogArgument> arguments) const
{
    write(LogLevel::info, format, arguments);
}

void Logger::error(std::string_view format, std::initializer_list<LogArgument> arguments) const
{
    write(LogLevel::error, format, arguments);
}

void Logger::write(LogLevel level, std::string_view format, std::initializer_list<LogArgument> arguments) const
{
    if (keeps(level))
        sink_->write(LogRecord{level, subsystem_, category_, render(format, arguments)});
}

std::string Logger::render(std::string_view format, std::initializer_list<LogArgument> arguments)
{
    std::string out;
    out.reserve(format.size() + 32);
    auto next = arguments.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out += format[i];
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // A placeholder: '%', an optional {privacy or type} annotation, length modifiers, a conversion.
        std::size_t end = i + 1;
        if (format[end] == '{') {
            const auto close = format.find('}', end);
            if (close == std::string_view::npos) {
                out += format[i];
                continue;
            }
            end = close + 1;
        }
        while (end < format.size() && (format[end] == 'l' || format[end] == 'h' || format[end] == 'z'))
            ++end;
        if (end >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        if (next != arguments.end())
            out += (next++)->text();
        i = end;
    }
    return out;
}

}  // namespace tessary
