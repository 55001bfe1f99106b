// Percent-decoding (%XX) of URL parts, shared by the HTTP API's paths and the
// broker URL's user and password.
#pragma once

#include <string>
#include <string_view>

namespace kqd {

// Decodes every %XX of `in` into `out`; false for a '%' that is not followed
// by two hexadecimal digits (`out` is then incomplete).
bool PercentDecode(std::string_view in, std::string& out);

} // namespace kqd
