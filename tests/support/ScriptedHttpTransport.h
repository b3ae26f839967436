#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/HttpTransport.h"

namespace tessary::testing {

// Keeps every request with its completion until the test answers it, so a reply can arrive at
// any point the test chooses (late replies included). Test thread only.
class ScriptedHttpTransport final : public HttpTransport {
public:
    struct Exchange {
        HttpRequest request;
        Completion completion;
        bool answered = false;
    };

    void send(HttpRequest request, Completion completion) override
    {
        exchanges.push_back({std::move(request), std::move(completion)});
    }

    // The indexes of the unanswered requests whose URL ends with `path`, oldest first.
    std::vector<std::size_t> pending(const std::string& path) const
    {
        std::vector<std::size_t> found;
        for (std::size_t i = 0; i < exchanges.size(); ++i) {
            const auto& url = exchanges[i].request.url;
            if (!exchanges[i].answered && url.size() >= path.size() &&
                url.compare(url.size() - path.size(), path.size(), path) == 0)
                found.push_back(i);
        }
        return found;
    }
    std::size_t count(const std::string& path) const
    {
        std::size_t n = 0;
        for (const auto& exchange : exchanges)
            if (exchange.request.url.ends_with(path))
                ++n;
        return n;
    }

    // Answers the oldest unanswered request for `path`; false when there is none.
    bool reply(const std::string& path, long status, std::string body = {})
    {
        return answer(path, Expected<HttpReply>(HttpReply{status, std::move(body)}));
    }
    bool fail(const std::string& path, const std::string& description)
    {
        return answer(path, Expected<HttpReply>(Error{description}));
    }

    std::vector<Exchange> exchanges;

private:
    bool answer(const std::string& path, Expected<HttpReply> outcome)
    {
        const auto open = pending(path);
        if (open.empty())
            return false;
        auto& exchange = exchanges[open.front()];
        exchange.answered = true;
        exchange.completion(std::move(outcome));
        return true;
    }
};

}  // namespace tessary::testing
