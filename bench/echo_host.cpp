// The floor for a native-messaging host: reads one framed message and writes it back unchanged.
#include <cstdint>
#include <string>
#include <unistd.h>

namespace {

bool readExactly(char* data, std::size_t count)
{
    while (count > 0) {
        const auto got = ::read(0, data, count);
        if (got <= 0)
            return false;
        data += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

int main()
{
    unsigned char prefix[4];
    if (!readExactly(reinterpret_cast<char*>(prefix), 4))
        return 0;
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i)
        length = (length << 8U) | prefix[i];
    if (length == 0 || length > 999'999)
        return 0;
    std::string frame(4 + length, '\0');
    frame.replace(0, 4, reinterpret_cast<const char*>(prefix), 4);
    if (!readExactly(frame.data() + 4, length))
        return 0;
    const char* data = frame.data();
    std::size_t left = frame.size();
    while (left > 0) {
        const auto written = ::write(1, data, left);
        if (written <= 0)
            break;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}
