// The line's HTTP face: its page, its API and its event stream, served by
// the HTTP face every server of the project uses.
#pragma once

#include <memory>
#include <string>

#include "app/http/http_face.h"
#include "app/line/line.h"

// A record batch of LINE_BATCH_MAX rows fits with room to spare.
constexpr size_t LINE_BODY_LIMIT = 1024 * 1024;

class LineServer {
public:
  // `token` empty: no token asked.
  LineServer(Line& line, HttpAddress address, std::string token);
  ~LineServer();

  HttpListenResult bind();
  int port() const;
  void serve();
  void stop();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
