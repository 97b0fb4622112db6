#include "app/http/body_streams.h"

#include <algorithm>
#include <condition_variable>

struct BodyStreams::State {
  std::mutex mutex;
  std::condition_variable space; // the reader took some, or left
  std::string waiting;
  bool ended = false;
  bool broken = false;
  bool left = false;     // the reader has gone
  bool stopping = false; // stop_all()
  bool finished = false; // the maker's thread is done
  std::function<void()> ready;
};

namespace {

class BodySource : public HttpStreamSource {
public:
  explicit BodySource(std::shared_ptr<BodyStreams::State> state) : state_(std::move(state)) {}

  bool take(std::string* text) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->waiting.empty()) return !state_->ended;
    const size_t n = std::min(state_->waiting.size(), BODY_STREAM_WRITE_MAX);
    text->append(state_->waiting, 0, n);
    state_->waiting.erase(0, n);
    state_->space.notify_all();
    return true;
  }

  void watch(std::function<void()> ready) override {
    bool now = false;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->ready = ready;
      now = !state_->waiting.empty() || state_->ended;
    }
    if (now && ready) ready();
  }

  void leave() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->left = true;
    state_->ready = nullptr;
    state_->space.notify_all();
  }

  bool comments() const override { return false; }

  bool cut_short() const override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->broken;
  }

private:
  const std::shared_ptr<BodyStreams::State> state_;
};

} // namespace

BodyStreams::~BodyStreams() {
  stop_all();
}

std::shared_ptr<HttpStreamSource> BodyStreams::start(Maker make) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return nullptr;
  // The threads of bodies already made are done with.
  for (size_t i = 0; i < states_.size();) {
    bool finished = false;
    {
      std::lock_guard<std::mutex> state_lock(states_[i]->mutex);
      finished = states_[i]->finished;
    }
    if (!finished) {
      ++i;
      continue;
    }
    threads_[i].join();
    threads_.erase(threads_.begin() + static_cast<std::ptrdiff_t>(i));
    states_.erase(states_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (states_.size() >= most_) return nullptr;
  auto state = std::make_shared<State>();
  states_.push_back(state);
  threads_.emplace_back([this, state, make = std::move(make)] { make_all(state, make); });
  return std::make_shared<BodySource>(state);
}

void BodyStreams::make_all(const std::shared_ptr<State>& state, const Maker& make) {
  BodyPiece step = BodyPiece::more;
  while (step == BodyPiece::more) {
    {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->space.wait(lock, [&state] {
        return state->left || state->stopping || state->waiting.size() < BODY_STREAM_WAITING;
      });
      if (state->left || state->stopping) {
        step = BodyPiece::broken;
        break;
      }
    }
    std::string piece;
    step = make(&piece);
    std::function<void()> ready;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->waiting += piece;
      ready = state->ready;
    }
    if (ready && step == BodyPiece::more) ready();
  }
  std::function<void()> ready;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->ended = true;
    state->broken = step == BodyPiece::broken;
    state->finished = true;
    ready = state->ready;
  }
  if (ready) ready();
}

void BodyStreams::stop_all() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const auto& state : states_) {
      std::lock_guard<std::mutex> state_lock(state->mutex);
      state->stopping = true;
      state->space.notify_all();
    }
    threads.swap(threads_);
    states_.clear();
  }
  for (std::thread& thread : threads) thread.join();
}
