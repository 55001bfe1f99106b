// A parsed Beast request as the API's Request: the one place that decides
// which headers the API sees (the server and the request fuzzer share it).
#pragma once

#include "http/api.h"

#include <boost/beast/http.hpp>

namespace kqd {

inline Request ToRequest(boost::beast::http::request<boost::beast::http::string_body>& msg) {
    namespace http = boost::beast::http;
    Request req;
    req.method = std::string(msg.method_string());
    req.target = std::string(msg.target());
    req.host = std::string(msg[http::field::host]);
    auto origin = msg.find(http::field::origin);
    req.has_origin = origin != msg.end();
    if (req.has_origin) {
        req.origin = std::string(origin->value());
    }
    req.authorization = std::string(msg[http::field::authorization]);
    req.last_event_id = std::string(msg["Last-Event-ID"]);
    req.content_type = std::string(msg[http::field::content_type]);
    req.body = std::move(msg.body());
    return req;
}

} // namespace kqd
