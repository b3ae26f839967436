#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessary::server {

// The open channels of each device, as the service's logic reaches them.
class DeviceSockets {
public:
    virtual ~DeviceSockets() = default;
    // Sends one text frame to every open channel of the device; returns how many there were.
    virtual std::size_t push(const std::string& deviceId, const std::string& text) = 0;
    // Closes every open channel of the device with this code; returns how many there were.
    virtual std::size_t close(const std::string& deviceId, std::uint16_t code) = 0;
    // Stops (or resumes) all reading and writing on every open channel of the device, pongs
    // included; returns how many there were.
    virtual std::size_t stall(const std::string& deviceId, bool stalled) = 0;
    // How many channels of the device are open.
    virtual std::size_t open(const std::string& deviceId) = 0;
};

}  // namespace tessary::server
