#include "link/engine.h"

#include "link/answer_in_hand.h"
#include "link/answer_wait.h"
#include "link/clock.h"

// Nothing is queued behind the last message, so nothing else can tell the
// controller's answer to it apart from silence: this exchange waits for
// that answer itself. A quiet read (the port's whole read time-out, 257 ms
// on a real line, far more than the answer's own frame time) with no frame
// partly received means the controller did not answer; after a jump it may
// already be starting the application, so that is no failure. Everything
// else the controller may send is judged as for any message: a refusal
// sends the message again under a new number, a malformed answer stops the
// link, and the acknowledgement is checked for a device error, reported
// with the details of the message it answers.
int8_t link_close(LinkContext* ctx, const PortHandle* port, char* text) {
  if (!text) {
    return OUTCOME_FAILED;
  }
  if (!ctx || !port || *port == 0) {
    return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_BAD_PARAMETER), text);
  }
  // A link that stopped before this exchange began (a malformed answer, or
  // an acknowledgement too many while the last message went out) is
  // reported as the exchange that sends a message would report it.
  if (ctx->status != LINK_RUNNING) {
    return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_STOPPED), text);
  }
  uint8_t start = current_second();
  uint8_t deadline = link_deadline_after(start);
  const AnswerInHand answer_in_hand(ctx);
  while (ctx->status == LINK_RUNNING) {
    SerialPort* serial = port_from_handle(*port);
    size_t got = 0;
    if (!serial || !serial->read_until(link_rx_area, LINK_READ_SIZE, &got, answer_in_hand)) {
      return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_READ_ERROR), text);
    }
    if (got > LINK_READ_SIZE) {
      got = LINK_READ_SIZE;
    }
    const int16_t sent =
        link_process_input(ctx, link_rx_area, static_cast<int16_t>(got), link_tx_area);
    if (sent > 0) {
      serial = port_from_handle(*port);
      if (!serial || !serial->write(link_tx_area, static_cast<uint16_t>(sent))) {
        return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_WRITE_ERROR), text);
      }
      ++ctx->frames_sent;
    }
    const uint8_t now = current_second();
    if (ctx->status != LINK_RUNNING) {
      break;
    }
    if (sent > 0) {
      start = now;
      deadline = link_deadline_after(now);
    } else if (got == 0 && ctx->rx_state == RX_WAIT_STX) {
      text[0] = '\0';
      return OUTCOME_CONTINUE;
    } else if (link_wait_over(start, deadline, now)) {
      return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_TIMEOUT), text);
    }
  }
  if (ctx->status == LINK_DONE) {
    // The acknowledgement answered the message in flight: that is the one
    // a device error in it concerns.
    ctx->previous = ctx->current;
    return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_OK), text);
  }
  return link_outcome(ctx, static_cast<int8_t>(EXCHANGE_STOPPED), text);
}
