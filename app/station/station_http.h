// The station's routes over the HTTP face: the page at /, the JSON API
// under /api/ and the live events as Server-Sent Events. Past the face's own
// checks, every request is checked here before the station sees it: the
// token, the route and method, the shape of the body, the slot's number;
// every refusal is one JSON error. No request names a file or a device:
// clients choose among the slots and nothing else.
#pragma once

#include <string>

#include "app/http/http_face.h"
#include "app/station/station_people.h"

class Station;

// The site a station serves. `token` empty: no token is asked for (the
// address is 127.0.0.1). `access`: who may act, and the audit trail.
HttpSite station_site(Station& station, std::string token, StationAccess access = {});
