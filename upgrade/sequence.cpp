#include "upgrade/sequence.h"

#include <cstdio>

#include "link/engine.h"
#include "link/messages.h"
#include "notify/notify.h"
#include "upgrade/worker.h"

namespace {

// Records the outcome of an exchange and posts its text when there is one.
// The link reporting itself finished means the controller acknowledged more
// than was sent, and some message (the jump, if nothing else) never had its
// answer: after the engine's text the run ends with a failure of its own.
int32_t judge(UpgradeWorker* w, int8_t outcome) {
  w->last_result = outcome;
  if (w->last_result != OUTCOME_CONTINUE) {
    notify_text_code(w->target_window, w->status_text, w->last_result);
  }
  if (w->last_result == OUTCOME_FINISHED) {
    // Result 0 gives the engine's "ended in unexpected state" text.
    w->last_result = link_outcome(&w->link, 0, w->status_text);
    notify_text_code(w->target_window, w->status_text, w->last_result);
  }
  return w->last_result;
}

// Drives the queued message through one exchange.
int32_t exchange(UpgradeWorker* w, uint8_t first, int32_t cancel) {
  const uint8_t result = link_exchange(&w->link, &w->port, first, cancel);
  if (result == EXCHANGE_CANCELLED) {
    w->report.ending = RunEnding::cancelled;
  }
  w->report.timed_out = result == EXCHANGE_TIMEOUT;
  return judge(w, link_outcome(&w->link, static_cast<int8_t>(result), w->status_text));
}

// The run enters its next part; a front end that asked is told so in order
// with the texts.
void begin_step(UpgradeWorker* w, RunStep step) {
  if (w == nullptr) {
    return;
  }
  w->report.step = step;
  if (w->step_notices) {
    notify_step(w->target_window, static_cast<int32_t>(step));
  }
}

// from + span * position / end, truncating. Wider than 32 bits so that
// images loaded high in the address space do not overflow the product.
int32_t progress_at(int32_t from, int32_t to, uint64_t position, uint64_t end) {
  const uint64_t span = static_cast<uint32_t>(to - from);
  const uint64_t step = end == 0 ? 0 : span * position / end;
  return static_cast<int32_t>(static_cast<uint32_t>(from) + static_cast<uint32_t>(step));
}

void post_step_text(UpgradeWorker* w, const char* format, uint32_t address, uint32_t size) {
  char text[UPGRADE_STEP_TEXT_SIZE];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(address), static_cast<int>(size));
  notify_text(w->target_window, text);
}

// The common tail of an erase block and a program chunk.
int32_t exchange_then_progress(UpgradeWorker* w, int32_t progress) {
  if (exchange(w, 0, 0) == OUTCOME_CONTINUE) {
    upgrade_report_progress(w, progress);
  }
  return w->last_result;
}

} // namespace

int32_t upgrade_report_progress(UpgradeWorker* w, int32_t value) {
  if (w == nullptr) {
    return UPGRADE_GUARD_PROGRESS;
  }
  // Whatever a step computes, the dialog's bar and the controller's percent
  // never leave their scale.
  value = value < 0 ? 0 : (value > UPGRADE_PROGRAM_TO ? UPGRADE_PROGRAM_TO : value);
  if (value != w->last_progress) {
    notify_progress(w->target_window, value);
  }
  if (value / 10 != w->last_progress / 10 || w->last_progress < 0) {
    msg_progress_encode(&w->link, nullptr, static_cast<uint8_t>(value / 10));
    const uint8_t first = w->last_progress < 0 ? 1 : 0;
    exchange(w, first, w->cancel.load());
  }
  w->last_progress = value;
  return w->last_result;
}

int32_t upgrade_erase_block(UpgradeWorker* w, uint32_t address, uint32_t size, int32_t progress) {
  if (w == nullptr || size < 256) {
    return UPGRADE_GUARD_BLOCK;
  }
  msg_erase_encode(&w->link, nullptr, address, size);
  return exchange_then_progress(w, progress);
}

int32_t upgrade_program_chunk(UpgradeWorker* w, uint32_t address, const uint8_t* data,
                              uint32_t size, int32_t progress) {
  // A chunk the encoder would refuse would leave nothing queued and the
  // exchange would report success for bytes never sent.
  if (w == nullptr || data == nullptr || size == 0 || size > MSG_PROGRAM_MAX_DATA) {
    return UPGRADE_GUARD_BLOCK;
  }
  msg_program_encode(&w->link, nullptr, address, data, static_cast<uint16_t>(size));
  return exchange_then_progress(w, progress);
}

uint32_t upgrade_erase_blocks(uint32_t start, uint32_t size) {
  // Blocks start at `start` and every 16 KiB after it while they start below
  // the image's end plus 255, and not beyond the top of the address space.
  const uint64_t end = uint64_t{start} + size + 255;
  const uint64_t top = uint64_t{UINT32_MAX} + 1;
  const uint64_t limit = end < top ? end : top;
  return static_cast<uint32_t>((limit - start + UPGRADE_ERASE_BLOCK_SIZE - 1) /
                               UPGRADE_ERASE_BLOCK_SIZE);
}

uint32_t upgrade_answers(const FirmwareImage& image) {
  constexpr uint32_t PERCENT_MESSAGES = 100;
  const uint32_t chunks =
      static_cast<uint32_t>((uint64_t{image.size} + UPGRADE_CHUNK_SIZE - 1) / UPGRADE_CHUNK_SIZE);
  return upgrade_erase_blocks(image.load_address, image.size) + chunks + PERCENT_MESSAGES + 2;
}

int32_t upgrade_erase_range(UpgradeWorker* w, uint32_t start, uint32_t size, int32_t progress_from,
                            int32_t progress_to) {
  if (w == nullptr) {
    return UPGRADE_GUARD_RANGE;
  }
  // Blocks are erased while they start below the image's end plus 255,
  // counted wide so that an image ending near the top of the address space
  // is erased too.
  const uint64_t end = uint64_t{start} + size + 255;
  uint32_t address = start;
  while (address < end) {
    post_step_text(w, "Erase address %08xh %d bytes", address, UPGRADE_ERASE_BLOCK_SIZE);
    const uint64_t next = uint64_t{address} + UPGRADE_ERASE_BLOCK_SIZE;
    const int32_t progress = progress_at(progress_from, progress_to, next, end);
    if (upgrade_erase_block(w, address, UPGRADE_ERASE_BLOCK_SIZE, progress) != OUTCOME_CONTINUE) {
      break;
    }
    if (next > UINT32_MAX) {
      break; // the top of the address space: nothing lies beyond it
    }
    address = static_cast<uint32_t>(next);
  }
  return w->last_result;
}

int32_t upgrade_program_range(UpgradeWorker* w, uint32_t start, const uint8_t* data, uint32_t size,
                              int32_t progress_from, int32_t progress_to) {
  if (w == nullptr || data == nullptr) {
    return UPGRADE_GUARD_RANGE;
  }
  uint32_t address = start;
  for (uint32_t offset = 0; offset < size;) {
    const uint32_t n = size - offset < UPGRADE_CHUNK_SIZE ? size - offset : UPGRADE_CHUNK_SIZE;
    post_step_text(w, "Program address %08xh %d bytes", address, n);
    // A short last chunk counts up to the image's end: the last chunk reaches
    // the top of the span and never passes it.
    const uint64_t whole = static_cast<uint64_t>(offset) + UPGRADE_CHUNK_SIZE;
    const uint64_t done = whole < size ? whole : size;
    const int32_t progress = progress_at(progress_from, progress_to, done, size);
    if (upgrade_program_chunk(w, address, data + offset, n, progress) != OUTCOME_CONTINUE) {
      break;
    }
    address += n;
    offset += n;
  }
  return w->last_result;
}

int32_t upgrade_start_application(UpgradeWorker* w, uint32_t address) {
  if (w == nullptr) {
    return UPGRADE_GUARD_START;
  }
  const int32_t progress = upgrade_report_progress(w, UPGRADE_PROGRAM_TO);
  if (progress != OUTCOME_CONTINUE) {
    return progress;
  }
  msg_jump_encode(&w->link, nullptr, address);
  // The first exchange waits for the last progress message's acknowledgement
  // and sends the jump; the closing one waits for the jump's own answer.
  if (exchange(w, 0, 0) == OUTCOME_CONTINUE &&
      judge(w, link_close(&w->link, &w->port, w->status_text)) == OUTCOME_CONTINUE) {
    notify_text(w->target_window, "Program success, starting application...");
  }
  return w->last_result;
}

int32_t upgrade_run(UpgradeWorker* w, const FirmwareImage& image) {
  begin_step(w, RunStep::reset);
  if (upgrade_report_progress(w, 0) != OUTCOME_CONTINUE) {
    return w == nullptr ? UPGRADE_GUARD_PROGRESS : w->last_result;
  }
  begin_step(w, RunStep::erase);
  if (upgrade_erase_range(w, image.load_address, image.size, UPGRADE_ERASE_FROM,
                          UPGRADE_ERASE_TO) != OUTCOME_CONTINUE) {
    return w->last_result;
  }
  begin_step(w, RunStep::program);
  if (upgrade_program_range(w, image.load_address, image.bytes, image.size, UPGRADE_PROGRAM_FROM,
                            UPGRADE_PROGRAM_TO) != OUTCOME_CONTINUE) {
    return w->last_result;
  }
  begin_step(w, RunStep::start);
  return upgrade_start_application(w, image.load_address);
}
