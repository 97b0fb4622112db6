#include "app/http/event_streams.h"

#include <algorithm>
#include <chrono>

bool EventStream::next(std::vector<std::string>* events, int wait_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  // With no time to wait only a look: a wait whose time is up already still
  // goes through the scheduler.
  if (wait_ms > 0) {
    ready_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                    [this] { return closed_ || !queue_.empty(); });
  }
  if (closed_) return false;
  events->insert(events->end(), std::make_move_iterator(queue_.begin()),
                 std::make_move_iterator(queue_.end()));
  queue_.clear();
  limit_ = EventStreams::QUEUE_LIMIT;
  return true;
}

bool EventStream::fell_behind() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fell_behind_;
}

void EventStream::watch(std::function<void()> ready) {
  std::lock_guard<std::mutex> lock(mutex_);
  ready_call_ = std::move(ready);
}

bool EventStream::push(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  if (queue_.size() >= limit_) {
    fell_behind_ = true;
    closed_ = true;
    queue_.clear();
    ready_.notify_all();
    if (ready_call_) ready_call_();
    return false;
  }
  queue_.push_back(event);
  ready_.notify_all();
  if (ready_call_) ready_call_();
  return true;
}

void EventStream::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  ready_.notify_all();
  if (ready_call_) ready_call_();
}

std::shared_ptr<EventStream> EventStreams::open(const std::vector<std::string>& first) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (streams_.size() >= STREAM_LIMIT) return nullptr;
  auto stream = std::make_shared<EventStream>();
  // The state a stream starts from goes whole, however large; what follows
  // may lag by QUEUE_LIMIT events beyond it.
  stream->limit_ = first.size() + QUEUE_LIMIT;
  for (const std::string& event : first) stream->push(event);
  streams_.push_back(stream);
  return stream;
}

void EventStreams::leave(const std::shared_ptr<EventStream>& stream) {
  std::lock_guard<std::mutex> lock(mutex_);
  streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
  stream->close();
}

void EventStreams::publish(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A stream that fell behind is dropped here; its reader sees it closed.
  streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                [&event](const std::shared_ptr<EventStream>& stream) {
                                  return !stream->push(event);
                                }),
                 streams_.end());
}

void EventStreams::close_all() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& stream : streams_) stream->close();
  streams_.clear();
}

bool EventStreamSource::take(std::string* text) {
  std::vector<std::string> events;
  if (!stream_->next(&events, 0)) return false;
  // Each event is a JSON line with its own line end; one more ends the
  // message.
  for (const std::string& event : events) *text += "data: " + event + "\n";
  return true;
}

void EventStreamSource::watch(std::function<void()> ready) {
  stream_->watch(std::move(ready));
}

void EventStreamSource::leave() {
  stream_->watch(nullptr);
  streams_.leave(stream_);
}

HttpAnswer event_stream_answer(EventStreams& streams, std::shared_ptr<EventStream> stream) {
  if (!stream) return http_error(503, "too many event streams are open; close one and try again");
  HttpAnswer answer;
  answer.content_type = "text/event-stream";
  answer.headers = {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}};
  answer.stream = std::make_shared<EventStreamSource>(streams, std::move(stream));
  return answer;
}
