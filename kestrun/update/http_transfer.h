#pragma once

#include "transfer/ca_trust.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace kestrun {

// How long a transfer may take to connect, how long it may go without receiving a byte, and
// how long it may take in all, before it fails: a server that trickles a byte now and then
// holds the engine no longer than the whole limit (none when zero).
struct TransferLimits {
    std::chrono::seconds connect;
    std::chrono::seconds stall;
    std::chrono::seconds whole{0};
};

// One GET request of the update engine. The address is used exactly as given: no dot segments
// are removed and double slashes stay.
struct HttpGetRequest {
    std::string url;
    bool noCache = false; // ask every cache on the way for a fresh copy
    TransferLimits limits{std::chrono::seconds(60), std::chrono::seconds(60),
                          std::chrono::seconds(120)};
    // The authorities an https site's certificate is checked against.
    CaTrust trust;
};

// Receives the body piece by piece; returns false when it needs no more of it.
using BodySink = std::function<bool(std::string_view piece)>;

struct HttpGetOutcome {
    // The reply was read to its end, or until the sink wanted no more. False when the
    // address was refused, the connection failed, a limit ran out or the certificate was
    // not trusted.
    bool completed = false;
    // The text of the reply's Content-Length header; empty when it had none.
    std::string contentLength;
    // Why the secure connection failed ("Certificate not trusted" for an unknown authority or
    // a name that does not match, "Secure connection failed" for any other TLS failure) and
    // the TLS layer's own words for it; both empty when TLS did not fail.
    std::string tlsFailure;
    std::string tlsDetail;
};

// Whether an address is an absolute http or https address with a host. Nothing else is ever
// requested, so any other service ends a transfer before any traffic.
bool isWebAddress(std::string_view url);

// Sends the request with the agent "KSN v1.2", never follows a redirect and takes whatever
// body the server sends, whatever its status code. Blocks the calling thread until the
// transfer ends.
HttpGetOutcome httpGet(const HttpGetRequest& request, const BodySink& sink);

} // namespace kestrun
