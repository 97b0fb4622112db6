// Long bodies (a CSV file of many thousand rows, say) made piece by piece on
// a thread of their own and sent as their reader takes them: at most
// BODY_STREAM_WAITING bytes wait, so the server's memory stays flat whatever
// a body's size and however slowly it is read. The face sends them as it
// sends event streams (chunked, each in a place of its own), without the
// comments an event stream sends while it is quiet; a body that breaks off
// ends its connection without the last chunk, so the reader sees it cut
// short. A body ends when its maker says so, when its reader leaves, or at
// stop_all().
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/http/http_face.h"

// What waits for the reader, at most, before the maker waits in turn; and
// the most one write to the reader holds.
constexpr size_t BODY_STREAM_WAITING = 256 * 1024;
constexpr size_t BODY_STREAM_WRITE_MAX = 64 * 1024;

// more: call again; last: that was the body's end; broken: the body cannot
// go on (a database gone away, say).
enum class BodyPiece { more, last, broken };

class BodyStreams {
public:
  // Appends the next piece to *piece.
  using Maker = std::function<BodyPiece(std::string* piece)>;

  // At most `most` bodies on their way at once.
  explicit BodyStreams(size_t most) : most_(most) {}
  ~BodyStreams();
  BodyStreams(const BodyStreams&) = delete;
  BodyStreams& operator=(const BodyStreams&) = delete;

  // A body that `make` makes on a thread of its own, for HttpAnswer::stream;
  // nullptr when `most` are on their way, or after stop_all().
  std::shared_ptr<HttpStreamSource> start(Maker make);
  // Ends every body (cut short), waits for their threads and starts no
  // other: before what the makers use goes away.
  void stop_all();

  struct State;

private:
  void make_all(const std::shared_ptr<State>& state, const Maker& make);

  const size_t most_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::shared_ptr<State>> states_;
  std::vector<std::thread> threads_;
};
