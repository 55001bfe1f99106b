// The HTTP API without the network: a parsed request in, a response out.
// Every check of the edge happens here (Host, Origin, token, sizes, JSON,
// UIDs, text) before anything reaches a reader; the server (server.cpp)
// only moves bytes. Kept free of Boost so that the fuzz targets and tests
// build it quickly.
#pragma once

#include "events/event_log.h"
#include "reader/reader_hub.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kqd {

struct HttpSettings {
    std::string host = "127.0.0.1";         ///< listen address
    uint16_t port = 8760;                   ///< listen port (0 = any free port)
    std::string token;                      ///< required as "Authorization: Bearer" when not empty
    std::vector<std::string> allow_origins; ///< besides kqd's own origins
    std::vector<std::string>
        allow_hosts;     ///< Host values besides the listen address and loopback names
    std::string www_dir; ///< the page's folder; empty = no page
    size_t max_connections = 128;
    size_t max_sse_clients = 110;
    size_t max_body = 8192;
    size_t max_header = 8192;
    size_t max_url = 2048;
    int request_timeout_ms = 10000; ///< a request (header and body) must arrive within it
    int idle_timeout_ms = 30000;    ///< an idle keep-alive connection is closed after it
    int write_timeout_ms = 10000;   ///< a client that takes no bytes for this long is dropped
    size_t sse_queue_limit = 1024;  ///< events waiting for one SSE client before it is dropped
    int sse_keepalive_ms = 15000;
    int threads = 1; ///< threads running the network
    /// More lines for /metrics (the broker link's); empty = none.
    std::function<std::string()> extra_metrics;
};

struct Request {
    std::string method; ///< "GET", "POST", ...
    std::string target; ///< path and query as sent
    std::string host;
    std::string origin; ///< empty when absent
    bool has_origin = false;
    std::string authorization; ///< empty when absent
    std::string last_event_id; ///< empty when absent
    std::string content_type;
    std::string body;
};

struct Response {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    /// GET /v1/events: the server turns the connection into an event stream
    /// that starts after sse_after (when sse_resume) or with new events only.
    bool sse = false;
    bool sse_resume = false;
    uint64_t sse_after = 0;
};

/// Counters of the HTTP side, for /metrics (the server updates the
/// connection and SSE ones).
struct HttpCounters {
    std::atomic<uint64_t> connections{0};         ///< open now
    std::atomic<uint64_t> connections_refused{0}; ///< over the limit
    std::atomic<uint64_t> sse_clients{0};         ///< streaming now
    std::atomic<uint64_t> sse_dropped_clients{
        0}; ///< too slow: their queue overflowed or a write timed out
    std::atomic<uint64_t> events_dropped{0}; ///< events a dropped client did not receive
    std::atomic<uint64_t> timeouts{0};
    std::mutex mu;
    std::map<int, uint64_t> requests_by_status;
};

/// The origins kqd answers as its own: http://127.0.0.1:PORT,
/// http://localhost:PORT, http://[::1]:PORT and http://HOST:PORT of the
/// listen address.
std::vector<std::string> OwnOrigins(const HttpSettings& s, uint16_t port);

class Api {
  public:
    Api(ReaderHub& hub, EventLog& log, HttpSettings settings, HttpCounters& counters);

    /// The port actually listened on (settings' port may be 0).
    void SetPort(uint16_t port);

    /// Handles one request. reply is called exactly once: at once, or on a
    /// reader's thread when an operation has run.
    void Handle(const Request& req, std::function<void(Response)> reply);

    /// An error response with the body {"error":{"message","result","name"[,"field"]}}.
    static Response Error(int status, const std::string& name, int result,
                          const std::string& message, const std::string& field = "");

    const HttpSettings& Settings() const { return settings_; }

  private:
    bool HostAllowed(const std::string& host) const;
    bool OriginAllowed(const std::string& origin) const;
    bool Authorized(const Request& req, const std::string& query) const;
    Response Metrics() const;
    Response StaticFile(const std::string& path, bool head) const;
    void Route(const Request& req, const std::string& path, const std::string& query,
               std::function<void(Response)> reply);

    ReaderHub& hub_;
    EventLog& log_;
    HttpSettings settings_;
    HttpCounters& counters_;
    std::vector<std::string> hosts_;   // lower case
    std::vector<std::string> origins_; // lower case
};

/// Splits "a/b/c" into its segments (empty ones dropped).
std::vector<std::string> PathSegments(const std::string& path);

/// The value of one query parameter ("" when absent); no percent-decoding:
/// the values kqd takes (tokens, numbers) need none.
std::string QueryValue(const std::string& query, const std::string& name);

} // namespace kqd
