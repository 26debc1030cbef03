#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Networking/IHttpClient.h"

namespace Tiskel::Test {

// One download through a client, with everything the callbacks saw.
struct Fetched {
    Networking::Response response;
    std::string body;
    size_t pieces = 0;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
};

inline Fetched fetch(Networking::IHttpClient& client, std::string const& url,
                     Networking::RequestOptions options = {}) {
    Fetched result;
    options.onData = [&result](std::string piece) {
        result.body += piece;
        ++result.pieces;
    };
    options.onProgress = [&result](uint64_t received, uint64_t expected) {
        result.progress.emplace_back(received, expected);
    };
    result.response = client.download(Networking::Request(Networking::Url(url), {}, {}), options);
    return result;
}

// `size` bytes of a repeatable, position-dependent pattern, so that misplaced or lost pieces
// show in a comparison.
inline std::string patternBody(size_t size, uint32_t seed = 1) {
    std::string body(size, '\0');
    uint32_t state = seed;
    for (auto& byte : body) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return body;
}

}  // namespace Tiskel::Test
