// The line's HTTP face: its page, its API and its event stream, as a site
// for the HTTP face every server of the project uses.
#pragma once

#include <string>
#include <vector>

#include "app/access/credentials.h"
#include "app/http/http_face.h"
#include "app/line/firmware_catalogue.h"
#include "app/line/line.h"
#include "app/line/line_people.h"

// A record batch of LINE_BATCH_MAX rows fits with room to spare.
constexpr size_t LINE_BODY_LIMIT = 1024 * 1024;
// Files a line holds open besides its connections and streams: its
// database, its broker, its listening socket, a file being read.
constexpr size_t LINE_FILES_SPARE = 64;

// The connections a line keeps open at once: a station's limits (their
// places for pages, viewers, the admin and stations new to the line), and
// for each station it knows (by a valid credential, or heard from) and each
// valid viewer's credential one place more, kept for requests with a
// credential. Each station holds one kept-alive connection.
HttpLimits line_http_limits(const std::vector<CredentialRow>& credentials,
                            const std::vector<std::string>& stations_heard);
// The open files a line with `limits` needs at most.
size_t line_open_files(const HttpLimits& limits);

// The routes of `line`, each allowed to the credentials of its role (see
// app/access/credentials.h) and, for people and the audit trail, to the
// people of `people` signed in; without an admin token, requests that name
// no credential are let through (a line on 127.0.0.1); firmware from
// `firmware`. The site refers to `line`, `credentials`, `people` and
// `firmware`, which must outlive the server.
HttpSite line_site(Line& line, const Credentials& credentials, LinePeople& people,
                   FirmwareCatalogue& firmware);
