#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace tessary::server {

// A stream layer that can play dead: while stalled, reads and writes that succeed are held back
// (their data kept) until resumed, so nothing above it, not even the automatic pong, sees or
// sends a byte. Failures pass through at once, so a connection that ends is not held. One thread.
template <typename NextLayer>
class StallableStream {
public:
    using executor_type = typename NextLayer::executor_type;
    using next_layer_type = NextLayer;

    explicit StallableStream(NextLayer&& next) : next_(std::move(next)) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    NextLayer& next_layer() noexcept { return next_; }
    const NextLayer& next_layer() const noexcept { return next_; }

    bool stalled() const { return stalled_; }
    void stall() { stalled_ = true; }
    void resume()
    {
        stalled_ = false;
        auto held = std::move(held_);
        held_.clear();
        for (auto& operation : held)
            boost::asio::post(get_executor(), std::move(operation));
    }

    template <typename Buffers, typename Token>
    auto async_read_some(const Buffers& buffers, Token&& token)
    {
        return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
            [this](auto handler, const Buffers& target) { this->startRead(target, std::move(handler)); }, token, buffers);
    }

    template <typename Buffers, typename Token>
    auto async_write_some(const Buffers& buffers, Token&& token)
    {
        return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
            [this](auto handler, const Buffers& source) { this->startWrite(source, std::move(handler)); }, token, buffers);
    }

private:
    template <typename Handler>
    static std::shared_ptr<Handler> shared(Handler handler)
    {
        return std::make_shared<Handler>(std::move(handler));
    }

    template <typename Buffers, typename Handler>
    void startRead(const Buffers& buffers, Handler handler)
    {
        if (stalled_) {
            held_.push_back([this, buffers, handler = shared(std::move(handler))] { startRead(buffers, std::move(*handler)); });
            return;
        }
        next_.async_read_some(buffers, [this, handler = std::move(handler)](boost::beast::error_code ec,
                                                                            std::size_t count) mutable {
            complete(std::move(handler), ec, count);
        });
    }

    template <typename Buffers, typename Handler>
    void startWrite(const Buffers& buffers, Handler handler)
    {
        if (stalled_) {
            held_.push_back([this, buffers, handler = shared(std::move(handler))] { startWrite(buffers, std::move(*handler)); });
            return;
        }
        next_.async_write_some(buffers, [this, handler = std::move(handler)](boost::beast::error_code ec,
                                                                             std::size_t count) mutable {
            complete(std::move(handler), ec, count);
        });
    }

    template <typename Handler>
    void complete(Handler handler, boost::beast::error_code ec, std::size_t count)
    {
        if (stalled_ && !ec) {
            held_.push_back([handler = shared(std::move(handler)), count] { (*handler)(boost::beast::error_code{}, count); });
            return;
        }
        handler(ec, count);
    }

    NextLayer next_;
    bool stalled_ = false;
    std::vector<std::function<void()>> held_;
};

// The closing handshake's teardown goes straight to the layer below.
template <typename NextLayer>
void teardown(boost::beast::role_type role, StallableStream<NextLayer>& stream, boost::beast::error_code& ec)
{
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <typename NextLayer, typename TeardownHandler>
void async_teardown(boost::beast::role_type role, StallableStream<NextLayer>& stream, TeardownHandler&& handler)
{
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<TeardownHandler>(handler));
}

}  // namespace tessary::server
