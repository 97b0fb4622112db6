#include "link/engine.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/answer_in_hand.h"
#include "link/answer_wait.h"
#include "link/clock.h"
#include "link/exchange_pass.h"
#include "link/frame.h"
#include "link/messages.h"

namespace {

// The handle is read at every use: it belongs to the caller, not to us.
SerialPort* port_at(const PortHandle* port) {
  return port_from_handle(*port);
}

bool write_reply(const PortHandle* port, uint16_t size) {
  SerialPort* serial = port_at(port);
  return serial && serial->write(link_tx_area, size);
}

void drop_stray_bytes() {
  if (link_stray_count > 0) {
    const int16_t end =
        link_stray_count < LINK_STRAY_AREA_SIZE ? link_stray_count : LINK_STRAY_AREA_SIZE - 1;
    link_stray_area[end] = 0;
    link_stray_count = 0;
  }
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void append_text(char* text, const char* format, ...) {
  const size_t used = std::strlen(text);
  if (used + 1 >= static_cast<size_t>(LINK_TEXT_SIZE)) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::vsnprintf(text + used, LINK_TEXT_SIZE - used, format, args);
  va_end(args);
}

// Texts of the results that end an exchange without an answer to judge:
// 251..255 read as signed bytes, then 0.
constexpr int FIRST_FAILURE = -5;
const char* const failure_texts[] = {
    "internal parameter error!\r\n",
    "serial port read error!\r\n",
    "serial port write error!\r\n",
    "serial port timeout during transmission, error!\r\n",
    "user canceled transmission, upgrade not complete!\r\n",
    "transmission ended in unexpected state error!\r\n",
};

// Describes the message the controller reported an error for.
void append_message_detail(char* text, const LinkMessage& msg) {
  switch (msg.command) {
  case CMD_PROGRESS: {
    uint8_t percent = 0;
    if (msg_progress_decode(&msg, &percent)) {
      append_text(text, "progress: procent %d\r\n", static_cast<int>(percent));
    }
    break;
  }
  case CMD_ERASE: {
    uint32_t address = 0;
    uint32_t size = 0;
    if (msg_erase_decode(&msg, &address, &size) && size > 1) {
      append_text(text, "erase: offset address 0x%08x size %d bytes\r\n",
                  static_cast<unsigned>(address), static_cast<int>(static_cast<int32_t>(size)));
    }
    break;
  }
  case CMD_JUMP: {
    uint32_t address = 0;
    if (msg_jump_decode(&msg, &address)) {
      append_text(text, "jump: offset address 0x%08x\r\n", static_cast<unsigned>(address));
    }
    break;
  }
  case CMD_PROGRAM: {
    ProgramBlock block;
    if (msg_program_decode(&msg, &block) && block.length != 0) {
      append_text(text, "program: offset address 0x%08x size %d bytes\r\n",
                  static_cast<unsigned>(block.address), static_cast<int>(block.length));
    }
    break;
  }
  default:
    break;
  }
}

// The acknowledgement that moved the queue on is judged here, one exchange
// after the message it answers went out.
int8_t check_acknowledgement(const LinkContext* ctx, char* text) {
  if (!ctx || ctx->ack_count == 0) {
    return OUTCOME_CONTINUE;
  }
  uint8_t id_and_error[2] = {0, 0};
  ack_decode(&ctx->received, id_and_error);
  if (id_and_error[1] == 0) {
    return OUTCOME_CONTINUE;
  }
  append_text(text, "ORVA had an internal error(%u)!\r\n", static_cast<unsigned>(id_and_error[1]));
  append_text(text, "Message id %u/%u, type ", static_cast<unsigned>(id_and_error[0]),
              static_cast<unsigned>(ctx->previous.sequence));
  append_message_detail(text, ctx->previous);
  return OUTCOME_FAILED;
}

int8_t describe_stop(const LinkContext* ctx, char* text) {
  if (!ctx) {
    return OUTCOME_FAILED;
  }
  switch (ctx->status) {
  case LINK_RUNNING:
    append_text(text, "transmission pending in internal state error!\r\n");
    return OUTCOME_FAILED;
  case LINK_FORMAT_ERROR:
    append_text(text, "unknown message format error(%d)!\r\n",
                static_cast<int>(static_cast<int8_t>(ctx->error)));
    return OUTCOME_FAILED;
  case LINK_RETRIES_EXHAUSTED:
    append_text(text, "retransmission failed after multiple retries, error!\r\n");
    return OUTCOME_FAILED;
  case LINK_DONE:
    append_text(text, "transmission done, success!\r\n");
    return OUTCOME_FINISHED;
  default:
    append_text(text, "other error (%u)!!!\r\n", static_cast<unsigned>(ctx->status));
    return OUTCOME_FAILED;
  }
}

} // namespace

uint16_t link_start(LinkContext* ctx, uint8_t* out) {
  if (!ctx) {
    return 0;
  }
  ctx->previous.sequence = 0xFF;
  ctx->rx_state = RX_WAIT_STX;
  ctx->status = LINK_RUNNING;
  // The first message already carries its number; the one queued after it gets 1.
  ctx->sequence = 0;
  ctx->error = 0;
  ctx->current = ctx->next;
  const uint16_t length = frame_build(ctx, out);
  ctx->next_free = 1;
  ctx->ack_count = 0;
  ctx->retries_left = LINK_RETRIES;
  ctx->frames_sent = 0;
  ctx->retransmissions = 0;
  return length;
}

// One reply is at most one frame. A read normally carries one answer and so
// produces at most one frame. When a burst of answers arrives in one read,
// each answer still acts on the context as if it had come alone (every
// acknowledgement counts and moves the queue on, every refusal takes a retry
// and a new sequence number, the fourth refusal stops the link), but each
// frame built replaces the one built before it in `out`, and the reply is
// only the last one. Every frame built is a copy of the message then in
// flight, so an earlier one is either a superseded copy of the same message
// or a copy of a message that a later answer in the same read acknowledged:
// sending it would only make the controller answer twice, and the engine
// would take the surplus answer for the next message's. The controller thus
// sees one frame per read: the message in flight under its newest number.
// `out` needs room for one frame (LINK_MAX_PAYLOAD + FRAME_OVERHEAD bytes).
int16_t link_process_input(LinkContext* ctx, const uint8_t* input, int16_t count, uint8_t* out) {
  if (!ctx || !input || count <= 0 || ctx->status != LINK_RUNNING) {
    return 0;
  }
  int16_t position = 0;
  int16_t produced = 0;
  while (position < count && ctx->status == LINK_RUNNING) {
    const int16_t before = position;
    const uint8_t result =
        frame_parse(ctx, input, &position, count, link_stray_area, &link_stray_count);
    switch (result) {
    case PARSE_FRAME:
      if (ctx->received.command == CMD_ACK) {
        ++ctx->ack_count;
        if (ctx->next_free) {
          ctx->status = LINK_DONE;
        } else {
          ctx->previous = ctx->current;
          ctx->current = ctx->next;
          produced = static_cast<int16_t>(frame_build(ctx, out));
          ctx->next_free = 1;
          ctx->retries_left = LINK_RETRIES;
        }
      } else if (ctx->retries_left > 0) {
        produced = static_cast<int16_t>(link_retransmit(ctx, out));
        --ctx->retries_left;
        ++ctx->retransmissions;
      } else {
        ctx->status = LINK_RETRIES_EXHAUSTED;
      }
      break;
    case PARSE_MORE:
      break;
    default:
      ctx->status = LINK_FORMAT_ERROR;
      ctx->error = result;
      break;
    }
    drop_stray_bytes();
    if (position <= before) {
      break; // a parser that consumed nothing would never get further
    }
  }
  return produced;
}

ExchangePass link_exchange_pass(LinkContext* ctx, const PortHandle* port,
                                const ReadCheck& complete) {
  ExchangePass pass;
  SerialPort* serial = port_at(port);
  if (!serial || !serial->read_until(link_rx_area, LINK_READ_SIZE, &pass.got, complete)) {
    pass.failure = EXCHANGE_READ_ERROR;
    return pass;
  }
  if (pass.got > LINK_READ_SIZE) {
    pass.got = LINK_READ_SIZE;
  }
  const int16_t sent =
      link_process_input(ctx, link_rx_area, static_cast<int16_t>(pass.got), link_tx_area);
  if (sent > 0) {
    if (!write_reply(port, static_cast<uint16_t>(sent))) {
      pass.failure = EXCHANGE_WRITE_ERROR;
      return pass;
    }
    ++ctx->frames_sent;
    pass.sent = true;
  }
  return pass;
}

uint8_t link_exchange(LinkContext* ctx, const PortHandle* port, uint8_t first, int32_t cancel) {
  if (!ctx || !port || *port == 0) {
    return EXCHANGE_BAD_PARAMETER;
  }
  if (first) {
    const uint16_t length = link_start(ctx, link_tx_area);
    if (length > 0 && !write_reply(port, length)) {
      return EXCHANGE_WRITE_ERROR;
    }
    ctx->frames_sent += length > 0;
    return EXCHANGE_OK;
  }

  // cancel is the caller's flag as it stood at the call: it can only stop an
  // exchange before the first read.
  if (cancel) {
    return EXCHANGE_CANCELLED;
  }
  AnswerWait wait(current_second());
  const AnswerInHand answer_in_hand(ctx);
  for (;;) {
    if (ctx->status != LINK_RUNNING) {
      return EXCHANGE_STOPPED;
    }
    const ExchangePass pass = link_exchange_pass(ctx, port, answer_in_hand);
    if (pass.failure != 0) {
      return pass.failure;
    }
    if (ctx->next_free) {
      return EXCHANGE_OK;
    }
    const uint8_t now = current_second();
    if (pass.sent) {
      wait.restart(now);
    } else if (wait.over(now)) {
      return EXCHANGE_TIMEOUT;
    }
  }
}

int8_t link_outcome(const LinkContext* ctx, int8_t result, char* text) {
  if (!text) {
    return OUTCOME_FAILED;
  }
  text[0] = '\0';
  if (result >= FIRST_FAILURE && result <= 0) {
    append_text(text, "%s", failure_texts[result - FIRST_FAILURE]);
    return OUTCOME_FAILED;
  }
  switch (result) {
  case EXCHANGE_OK:
    return check_acknowledgement(ctx, text);
  case EXCHANGE_STOPPED:
    return describe_stop(ctx, text);
  default:
    return OUTCOME_FAILED;
  }
}
