// The line's HTTP face: its page, its API and its event stream, as a site
// for the HTTP face every server of the project uses.
#pragma once

#include <string>

#include "app/http/http_face.h"
#include "app/line/line.h"

// A record batch of LINE_BATCH_MAX rows fits with room to spare.
constexpr size_t LINE_BODY_LIMIT = 1024 * 1024;

// The routes of `line`; `token` empty: no token asked. The site refers to
// `line`, which must outlive the server.
HttpSite line_site(Line& line, const std::string& token);
