// The network side of the API: Boost.Beast on one io_context (a small pool
// of threads when asked), sessions with a timeout on every read and write,
// and the event stream of GET /v1/events. Boost stays inside server.cpp.
#pragma once

#include "http/api.h"

#include <memory>
#include <string>

namespace kqd {

class HttpServer {
  public:
    HttpServer(ReaderHub& hub, EventLog& log, HttpSettings settings);
    ~HttpServer(); ///< Stop()

    /// Binds and listens, then serves on its own threads. false (and *error)
    /// when the address cannot be bound.
    bool Start(std::string* error);
    /// Closes the listener and every connection, ends the threads.
    void Stop();
    /// The port listened on (useful with port 0).
    uint16_t Port() const;

    HttpCounters& Counters();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kqd
