#include "http/server.h"

#include "http/beast_request.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <deque>
#include <list>
#include <mutex>
#include <set>
#include <thread>

namespace kqd {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// Events waiting for one SSE client: filled on the reader's thread by the
// log's callback (which must not block), drained on the session's strand.
struct SseQueue {
    std::mutex mu;
    std::deque<Event> events;
    bool overflow = false;
    bool flush_posted = false;
};

std::string SseText(const Event& e) {
    return "id: " + std::to_string(e.seq) + "\nevent: " + e.kind + "\ndata: " + ToJson(e).dump() +
           "\n\n";
}

} // namespace

struct HttpServer::Impl {
    Impl(ReaderHub& hub, EventLog& event_log, HttpSettings s)
        : log(event_log), settings(std::move(s)), api(hub, event_log, settings, counters) {}

    class Session;

    EventLog& log;
    HttpSettings settings;
    HttpCounters counters;
    Api api;
    asio::io_context ioc{1};
    std::optional<tcp::acceptor> acceptor;
    std::vector<std::thread> threads;
    std::mutex sessions_mu;
    std::set<std::shared_ptr<Session>> sessions; // to close them on Stop()
    uint16_t port = 0;
    bool running = false;

    void Accept();
    void Forget(const std::shared_ptr<Session>& s) {
        std::lock_guard lock(sessions_mu);
        sessions.erase(s);
    }
};

class HttpServer::Impl::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(Impl& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {
        ++server_.counters.connections;
    }
    ~Session() {
        --server_.counters.connections;
        if (sse_id_ != 0) {
            server_.log.Unsubscribe(sse_id_);
            --server_.counters.sse_clients;
        }
    }

    auto Executor() { return stream_.get_executor(); }

    void Begin() { Read(std::chrono::milliseconds(server_.settings.request_timeout_ms)); }

    // From another thread (Stop): ends the session on its strand.
    void Close() {
        asio::post(stream_.get_executor(), [self = shared_from_this()] { self->Shutdown(); });
    }

  private:
    void Read(std::chrono::milliseconds timeout) {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.settings.max_header));
        parser_->body_limit(server_.settings.max_body);
        stream_.expires_after(timeout);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == asio::error::operation_aborted || closed_) {
            return Shutdown();
        }
        if (ec == beast::error::timeout) {
            ++server_.counters.timeouts;
            return Shutdown();
        }
        if (ec == http::error::body_limit) {
            return Refuse(413, "KQD_ERR_TOO_LARGE", "the body is too large");
        }
        if (ec == http::error::header_limit) {
            return Refuse(431, "KQD_ERR_TOO_LARGE", "the request header is too large");
        }
        if (ec) {
            // Nothing parsable: a generic refusal, then the connection goes.
            if (buffer_.size() == 0 && !parser_->got_some()) {
                return Shutdown();
            }
            return Refuse(400, "KQD_ERR_BAD_REQUEST", "malformed HTTP request");
        }
        auto& msg = parser_->get();
        Request req = ToRequest(msg);
        keep_alive_ = msg.keep_alive();
        version_ = msg.version();
        head_ = msg.method() == http::verb::head;
        // No timer while an operation runs: the reader's queue bounds it.
        stream_.expires_never();
        auto self = shared_from_this();
        server_.api.Handle(req, [self](Response r) {
            asio::post(self->stream_.get_executor(),
                       [self, r = std::move(r)]() mutable { self->Answer(std::move(r)); });
        });
    }

    void Refuse(int status, const std::string& name, const std::string& message) {
        keep_alive_ = false;
        version_ = 11;
        head_ = false;
        Response r = Api::Error(status, name, status == 400 ? -7 : -6, message);
        {
            std::lock_guard lock(server_.counters.mu);
            ++server_.counters.requests_by_status[status];
        }
        Answer(std::move(r));
    }

    void Answer(Response r) {
        if (closed_) {
            return;
        }
        if (r.sse) {
            return StartStream(r);
        }
        auto res = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(r.status), version_);
        res->set(http::field::server, "kqd");
        if (!r.content_type.empty()) {
            res->set(http::field::content_type, r.content_type);
        }
        res->set(http::field::cache_control, "no-store");
        res->set("X-Content-Type-Options", "nosniff");
        res->set("X-Frame-Options", "DENY");
        res->set("Referrer-Policy", "no-referrer");
        for (const auto& [k, v] : r.headers) {
            res->set(k, v);
        }
        size_t length = r.body.size();
        if (!head_) {
            res->body() = std::move(r.body);
        }
        res->keep_alive(keep_alive_);
        res->content_length(length);
        stream_.expires_after(std::chrono::milliseconds(server_.settings.write_timeout_ms));
        if (head_) {
            auto sr = std::make_shared<http::response_serializer<http::string_body>>(*res);
            http::async_write_header(stream_, *sr,
                                     [self = shared_from_this(), res,
                                      sr](beast::error_code ec, size_t) { self->AfterWrite(ec); });
            return;
        }
        http::async_write(stream_, *res,
                          [self = shared_from_this(), res](beast::error_code ec, size_t) {
                              self->AfterWrite(ec);
                          });
    }

    void AfterWrite(beast::error_code ec) {
        if (ec) {
            if (ec == beast::error::timeout) {
                ++server_.counters.timeouts;
            }
            return Shutdown();
        }
        if (!keep_alive_) {
            return Shutdown();
        }
        Read(std::chrono::milliseconds(server_.settings.idle_timeout_ms));
    }

    // ---- The event stream --------------------------------------------

    void StartStream(const Response& r) {
        if (server_.counters.sse_clients.load() >= server_.settings.max_sse_clients) {
            Response busy = Api::Error(503, "KQD_ERR_BUSY", -1, "too many event-stream clients");
            busy.headers.emplace_back("Retry-After", "5");
            keep_alive_ = false;
            return Answer(std::move(busy));
        }
        ++server_.counters.sse_clients;
        queue_ = std::make_shared<SseQueue>();
        std::vector<Event> backlog;
        auto queue = queue_;
        auto executor = stream_.get_executor();
        std::weak_ptr<Session> weak = shared_from_this();
        const size_t limit = server_.settings.sse_queue_limit;
        auto on_event = [queue, executor, weak, limit](const Event& e) {
            std::lock_guard lock(queue->mu);
            if (queue->overflow) {
                return;
            }
            if (queue->events.size() >= limit) {
                queue->overflow = true; // this client is too slow: it goes
            } else {
                queue->events.push_back(e);
            }
            if (!queue->flush_posted) {
                queue->flush_posted = true;
                asio::post(executor, [weak] {
                    if (auto self = weak.lock()) {
                        self->Flush();
                    }
                });
            }
        };
        std::string head = "HTTP/1.1 200 OK\r\nServer: kqd\r\nContent-Type: text/event-stream\r\n"
                           "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                           "X-Accel-Buffering: no\r\nConnection: close\r\n";
        for (const auto& [k, v] : r.headers) {
            head += k + ": " + v + "\r\n";
        }
        head += "\r\nretry: 1000\n\n";
        uint64_t first = 0;
        if (r.sse_resume) {
            sse_id_ = server_.log.SubscribeSince(r.sse_after, on_event, &backlog);
            first = server_.log.FirstSeq();
            if (first > r.sse_after + 1 && r.sse_after != 0) {
                head += ": " + std::to_string(first - r.sse_after - 1) + " events since " +
                        std::to_string(r.sse_after) + " are no longer in the history\n\n";
            }
        } else {
            sse_id_ = server_.log.Subscribe(on_event);
        }
        out_ = head;
        for (const auto& e : backlog) {
            out_ += SseText(e);
        }
        streaming_ = true;
        keepalive_.emplace(stream_.get_executor());
        Keepalive();
        WatchPeer();
        WriteOut();
    }

    // A client that goes away is noticed at once: a stream client sends
    // nothing, so any completion of this read ends the session.
    void WatchPeer() {
        stream_.socket().async_read_some(
            asio::buffer(peer_byte_),
            [self = shared_from_this()](beast::error_code, size_t) { self->Shutdown(); });
    }

    void Keepalive() {
        keepalive_->expires_after(std::chrono::milliseconds(server_.settings.sse_keepalive_ms));
        keepalive_->async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->closed_) {
                return;
            }
            self->out_ += ": keepalive\n\n";
            self->WriteOut();
            self->Keepalive();
        });
    }

    void Flush() {
        bool overflow = false;
        {
            std::lock_guard lock(queue_->mu);
            queue_->flush_posted = false;
            for (const auto& e : queue_->events) {
                out_ += SseText(e);
            }
            queue_->events.clear();
            overflow = queue_->overflow;
        }
        if (overflow) {
            ++server_.counters.sse_dropped_clients;
            ++server_.counters.events_dropped;
            return Shutdown();
        }
        WriteOut();
    }

    void WriteOut() {
        if (writing_ || out_.empty() || closed_) {
            return;
        }
        writing_ = true;
        sending_ = std::move(out_);
        out_.clear();
        // A client that takes nothing for write_timeout is dropped; it never
        // holds up a reader (the queue in between is bounded).
        stream_.expires_after(std::chrono::milliseconds(server_.settings.write_timeout_ms));
        asio::async_write(stream_, asio::buffer(sending_),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->writing_ = false;
                              if (ec) {
                                  if (ec == beast::error::timeout) {
                                      ++self->server_.counters.timeouts;
                                      ++self->server_.counters.sse_dropped_clients;
                                  }
                                  return self->Shutdown();
                              }
                              self->stream_.expires_never();
                              self->WriteOut();
                          });
    }

    void Shutdown() {
        if (closed_) {
            return;
        }
        closed_ = true;
        if (sse_id_ != 0) {
            // After this no callback runs for this session.
            server_.log.Unsubscribe(sse_id_);
            sse_id_ = 0;
            --server_.counters.sse_clients;
        }
        if (keepalive_) {
            keepalive_->cancel();
        }
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
        server_.Forget(shared_from_this());
    }

    Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keep_alive_ = false;
    unsigned version_ = 11;
    bool head_ = false;
    bool closed_ = false;
    // Stream state.
    bool streaming_ = false;
    int sse_id_ = 0;
    std::shared_ptr<SseQueue> queue_;
    std::string out_, sending_;
    bool writing_ = false;
    std::optional<asio::steady_timer> keepalive_;
    char peer_byte_[64];
};

void HttpServer::Impl::Accept() {
    acceptor->async_accept(
        asio::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor->is_open()) {
                return;
            }
            if (!ec) {
                if (counters.connections.load() >= settings.max_connections) {
                    ++counters.connections_refused;
                    beast::error_code ignored;
                    socket.close(ignored);
                } else {
                    auto session = std::make_shared<Session>(*this, std::move(socket));
                    {
                        std::lock_guard lock(sessions_mu);
                        sessions.insert(session);
                    }
                    asio::dispatch(session->Executor(), [session] { session->Begin(); });
                }
            }
            Accept();
        });
}

HttpServer::HttpServer(ReaderHub& hub, EventLog& log, HttpSettings settings)
    : impl_(std::make_unique<Impl>(hub, log, std::move(settings))) {}

HttpServer::~HttpServer() {
    Stop();
}

HttpCounters& HttpServer::Counters() {
    return impl_->counters;
}

uint16_t HttpServer::Port() const {
    return impl_->port;
}

bool HttpServer::Start(std::string* error) {
    Impl& s = *impl_;
    beast::error_code ec;
    auto address = asio::ip::make_address(s.settings.host, ec);
    if (ec) {
        *error = "bad listen address '" + s.settings.host + "'";
        return false;
    }
    tcp::endpoint endpoint(address, s.settings.port);
    s.acceptor.emplace(s.ioc);
    s.acceptor->open(endpoint.protocol(), ec);
    if (!ec) {
        s.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
        s.acceptor->bind(endpoint, ec);
    }
    if (!ec) {
        s.acceptor->listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = "cannot listen on " + s.settings.host + ":" + std::to_string(s.settings.port) +
                 ": " + ec.message();
        return false;
    }
    s.port = s.acceptor->local_endpoint().port();
    s.api.SetPort(s.port);
    s.Accept();
    s.running = true;
    int n = std::max(1, s.settings.threads);
    for (int i = 0; i < n; ++i) {
        s.threads.emplace_back([&s] { s.ioc.run(); });
    }
    return true;
}

void HttpServer::Stop() {
    Impl& s = *impl_;
    if (!s.running) {
        return;
    }
    s.running = false;
    asio::post(s.ioc, [&s] {
        beast::error_code ec;
        s.acceptor->close(ec);
    });
    std::vector<std::shared_ptr<Impl::Session>> open;
    {
        std::lock_guard lock(s.sessions_mu);
        open.assign(s.sessions.begin(), s.sessions.end());
    }
    for (auto& session : open) {
        session->Close();
    }
    // Give the closes a moment to run, then stop whatever is left.
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(s.sessions_mu);
            if (s.sessions.empty()) {
                break;
            }
        }
        std::this_thread::sleep_for(5ms);
    }
    s.ioc.stop();
    for (auto& t : s.threads) {
        t.join();
    }
    s.threads.clear();
    std::lock_guard lock(s.sessions_mu);
    s.sessions.clear();
}

} // namespace kqd
