// The station's HTTP face: the page at /, the JSON API under /api/ and the
// live events as Server-Sent Events. Every request is checked here, at the
// edge, before the station sees it: the token, the origin of state changes,
// the size and shape of the body, the slot's number; every refusal is one
// JSON error. No request names a file or a device: clients choose among the
// slots and nothing else.
#pragma once

#include <memory>
#include <string>

class Station;

struct StationAddress {
  std::string host = "127.0.0.1";
  int port = 0;
};

enum class ServeStatus { ok, cannot_listen };

struct ServeResult {
  ServeStatus status = ServeStatus::ok;
  std::string reason;
};

class StationServer {
public:
  // `token` empty: no token is asked for (the address is 127.0.0.1).
  StationServer(Station& station, StationAddress address, std::string token);
  ~StationServer();
  StationServer(const StationServer&) = delete;
  StationServer& operator=(const StationServer&) = delete;

  // Binds the address (port 0: any free port); the reason says why it could
  // not be bound.
  ServeResult bind();
  // The port bound.
  int port() const;
  // Serves until stop(); call after a successful bind().
  void serve();
  // From any thread: ends serve(), after the event streams have closed.
  void stop();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
