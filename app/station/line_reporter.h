// A station's reports to its line server: the store's finished rows that
// the line does not hold yet, oldest first, and the station's live state.
// One thread of its own does both, so a line that is down or slow never
// holds up a run: rows wait in the store (marked synced only up to what the
// line says it holds, `have_through`) and go out when it is back, retried
// with a pause that grows to 30 s; state goes out on every change of phase,
// at most twice a second while slots run, and every 5 s when nothing changes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "records/record_store.h"

// Rows sent in one batch, at most.
constexpr size_t LINE_BATCH_MAX = 500;
constexpr int LINE_RETRY_MAX_MS = 30000;
constexpr int LINE_HEARTBEAT_MS = 5000;
constexpr int LINE_STATE_MIN_MS = 500;
// The longest text of a slot's state the line takes.
constexpr size_t LINE_TEXT_MAX = 256;

// What one POST to the line came back with: status 0 when no answer came.
struct LineAnswer {
  int status = 0;
  std::string body;
  std::string error; // why there was no answer
};
// Posts a JSON body to a path of the line server.
using LinePost = std::function<LineAnswer(const std::string& path, const std::string& body)>;

enum class SyncStep { idle, pushed, failed };

struct SyncResult {
  SyncStep step = SyncStep::idle;
  int64_t have_through = 0;
  bool more = false;  // a full batch went: more may wait
  std::string reason; // with failed
};

// One push: the finished rows of `station` past what the line holds, at most
// LINE_BATCH_MAX, and what the line answered kept in the store.
SyncResult line_sync_once(RecordStore& store, const std::string& line, const std::string& station,
                          const LinePost& post);

// Where to reach the line: "http://HOST:PORT"; false for anything else.
bool line_url_parse(const std::string& url, std::string* host, int* port);

struct LineSetup {
  std::string url;     // http://HOST:PORT
  std::string token;   // empty: none
  std::string station; // the station's name
  std::string page;    // the station's own page
};

class LineReporter {
public:
  // `slots` gives the slots' live state as the line takes it (an array).
  LineReporter(LineSetup setup, RecordStore& store, LinePost post,
               std::function<nlohmann::ordered_json()> slots);
  // Stops the thread; a post under way ends within its time-out.
  ~LineReporter();
  LineReporter(const LineReporter&) = delete;
  LineReporter& operator=(const LineReporter&) = delete;

  // A run ended: its row may go.
  void rows_changed();
  // A slot changed: a new phase goes at once, progress within half a second.
  void state_changed(bool phase);
  // For the station's page: the line, whether it holds every row, how many
  // wait and since when, and the last failure.
  nlohmann::ordered_json status() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The real transport: HTTP to the line with the token, short time-outs.
LinePost line_http_post(const std::string& url, const std::string& token);
