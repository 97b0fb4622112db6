// The station's live events, fanned out to every open event stream (the web
// page's, an API client's). Each stream has a bounded queue of its own: a
// reader that is slow or gone fills its queue and is closed, and loses
// nothing but itself; a run that publishes never waits for a reader.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/http/http_face.h"

class EventStream {
public:
  // Waits up to `wait_ms` for events and moves those queued into *events.
  // False once the stream is closed: it fell behind, or the station ends.
  bool next(std::vector<std::string>* events, int wait_ms);
  bool fell_behind() const;
  // `ready` is called, on the publisher's thread, at each event queued and
  // when the stream closes; an empty function stops the calls.
  void watch(std::function<void()> ready);

private:
  friend class EventStreams;
  // False when the queue was full: the stream is closed instead.
  bool push(const std::string& event);
  void close();

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> queue_;
  size_t limit_ = 0; // how many events the queue may hold now
  bool closed_ = false;
  bool fell_behind_ = false;
  std::function<void()> ready_call_;
};

class EventStreams {
public:
  // How far a stream may lag: events of a few whole runs on every slot.
  static constexpr size_t QUEUE_LIMIT = 4096;
  // Streams open at once; they have a place of their own in the HTTP face.
  static constexpr size_t STREAM_LIMIT = 8;

  // A new stream whose first events are `first` (the state it starts from);
  // nullptr when STREAM_LIMIT streams are open.
  std::shared_ptr<EventStream> open(const std::vector<std::string>& first);
  // Gives up a stream that its reader has left.
  void leave(const std::shared_ptr<EventStream>& stream);
  // Queues `event` on every open stream; never waits for a reader.
  void publish(const std::string& event);
  // Closes every stream: their readers end.
  void close_all();

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<EventStream>> streams_;
};

// One stream served as Server-Sent Events by the HTTP face: each event one
// "data:" line. It ends when the streams close, or when its reader fell so
// far behind that its queue filled (the reader reconnects and begins afresh).
class EventStreamSource : public HttpStreamSource {
public:
  EventStreamSource(EventStreams& streams, std::shared_ptr<EventStream> stream)
      : streams_(streams), stream_(std::move(stream)) {}
  bool take(std::string* text) override;
  void watch(std::function<void()> ready) override;
  void leave() override;

private:
  EventStreams& streams_;
  const std::shared_ptr<EventStream> stream_;
};

// The answer that serves `stream` of `streams` (Server-Sent Events); a 503
// when there is none, as open() gives when too many are open.
HttpAnswer event_stream_answer(EventStreams& streams, std::shared_ptr<EventStream> stream);
