// A station's reports to its line server: the store's finished rows that
// the line has not acknowledged, oldest first, and the station's live state.
// One thread of its own does both, so a line that is down or slow never
// holds up a run: rows wait in the store and go out when it is back, retried
// with a pause that grows to 30 s; state goes out on every change of phase,
// at most twice a second while slots run, and every 5 s when nothing changes.
//
// The line's word is checked, never taken: a row counts as synced only when
// the station sent it in a batch the line answered 200 for (the line refuses
// a whole batch with 409 when one row differs from what it holds), and an
// answer that claims rows the station never sent is an error that marks
// nothing. Every 5 s a state post carries the station's synced mark; a line
// that answers with less (a database restored from a backup, a new line at
// the same address) is sent every row above what it holds again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/http/http_client.h"
#include "records/record_store.h"

// Rows sent in one batch, at most, and the most their JSON may hold (the
// line takes a body of 1 MiB).
constexpr size_t LINE_BATCH_MAX = 500;
constexpr size_t LINE_BATCH_BYTES_MAX = 512 * 1024;
// The longest wait a line may ask for before rows are sent again.
constexpr int LINE_WAIT_MAX_S = 300;
constexpr int LINE_RETRY_MAX_MS = 30000;
constexpr int LINE_HEARTBEAT_MS = 5000;
constexpr int LINE_STATE_MIN_MS = 500;
// The longest text of a slot's state the line takes.
constexpr size_t LINE_TEXT_MAX = 256;
// The longest reason the station keeps for its page.
constexpr size_t LINE_REASON_MAX = 256;

// What one POST to the line came back with: status 0 when no answer came.
struct LineAnswer {
  int status = 0;
  std::string body;
  std::string error;      // why there was no answer
  bool garbled = false;   // with status 0: what came was no answer (too large, not HTTP)
  bool untrusted = false; // with status 0: HTTPS with a certificate that did not verify
  int retry_after_s = 0;  // the line's Retry-After, in seconds (with 429)
};
// Posts a JSON body to a path of the line server.
using LinePost = std::function<LineAnswer(const std::string& path, const std::string& body)>;

// What keeps the line from taking this station's rows. refused: something
// waiting will not cure (a wrong token, an address that is no line server,
// a row the line holds otherwise, an answer that claims rows never sent);
// no_answer: the line is away, failing, or asks the station to wait.
enum class LineTrouble { none, no_answer, refused };

enum class SyncStep { idle, pushed, failed };

struct SyncResult {
  SyncStep step = SyncStep::idle;
  int64_t have_through = 0;   // what the line answered
  int64_t synced_through = 0; // the station's mark afterwards
  bool more = false;          // more may wait: a full batch went, or the line had lost rows
  LineTrouble trouble = LineTrouble::none; // with failed
  std::string reason;                      // with failed
  std::string lost;                        // the line had lost rows: what to say, once
  int retry_after_s = 0;                   // with failed: the wait the line asked for
};

// Audit entries in one batch.
constexpr size_t LINE_AUDIT_BATCH_MAX = 200;

// One push of `station`'s audit entries past what `line` holds, in order;
// what it answered checked and kept in the store.
SyncResult line_audit_sync_once(RecordStore& store, const std::string& line,
                                const std::string& station, const LinePost& post);

// One push: the finished rows of `station` that `line` has not
// acknowledged, at most LINE_BATCH_MAX, and what the line answered checked
// and kept in the store.
SyncResult line_sync_once(RecordStore& store, const std::string& line, const std::string& station,
                          const LinePost& post);

// The line's answer to a state post that carried the station's synced mark:
// when it holds less, nothing above what it holds counts as synced any
// more. What to say, once; empty when the line holds every row it should.
std::string line_check_held(RecordStore& store, const std::string& line, const std::string& station,
                            const LineAnswer& answer);

// Where to reach the line: "http://HOST:PORT" or "https://HOST:PORT"
// (*https set); false for anything else.
bool line_url_parse(const std::string& url, std::string* host, int* port, bool* https);

struct LineSetup {
  std::string url;     // http://HOST:PORT or https://HOST:PORT
  std::string token;   // empty: none
  std::string station; // the station's name
  std::string page;    // the station's own page
  // A line for standard error, without the program's name: when the line
  // stops taking the rows and why, when it takes them again, when it lost
  // rows. Each said once.
  std::function<void(const std::string&)> say;
  // Called on the reporter's thread at each heartbeat (the people the line
  // gives its stations are fetched there).
  std::function<void()> heartbeat{};
};

class LineReporter {
public:
  // `slots` gives the slots' live state as the line takes it (an array);
  // `cancel` ends a post under way, from another thread.
  LineReporter(LineSetup setup, RecordStore& store, LinePost post,
               std::function<nlohmann::ordered_json()> slots, std::function<void()> cancel = {});
  // Stops the thread, cancelling a post under way.
  ~LineReporter();
  LineReporter(const LineReporter&) = delete;
  LineReporter& operator=(const LineReporter&) = delete;

  // A run ended: its row may go.
  void rows_changed();
  // A slot changed: a new phase goes at once, progress within half a second.
  void state_changed(bool phase);
  // For the station's page: the line, whether it holds every row, how many
  // wait and since when, and what keeps it from taking them.
  nlohmann::ordered_json status() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The real transport: HTTP to the line with the token, each post within a
// whole deadline and a bounded answer, and how to cancel one under way.
struct LineHttp {
  LinePost post;
  // The same for an answer that is a firmware file: larger, and slower.
  LinePost fetch;
  std::function<void()> cancel;
  std::string problem; // why no post can go (the address, a CA file); empty: none
};
// `deadline_ms`: each post's whole exchange (a station that ends waits for
// its last post no longer than that).
LineHttp line_http(const std::string& url, const std::string& token, const std::string& cafile,
                   int deadline_ms = HTTP_CLIENT_DEADLINE_MS);
