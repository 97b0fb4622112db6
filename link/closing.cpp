#include "link/engine.h"

#include "link/answer_in_hand.h"
#include "link/answer_wait.h"
#include "link/clock.h"
#include "link/exchange_pass.h"

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
  AnswerWait wait(current_second());
  const AnswerInHand answer_in_hand(ctx);
  while (ctx->status == LINK_RUNNING) {
    const ExchangePass pass = link_exchange_pass(ctx, port, answer_in_hand);
    if (pass.failure != 0) {
      return link_outcome(ctx, static_cast<int8_t>(pass.failure), text);
    }
    const uint8_t now = current_second();
    if (ctx->status != LINK_RUNNING) {
      break;
    }
    if (pass.sent) {
      wait.restart(now);
    } else if (pass.got == 0 && ctx->rx_state == RX_WAIT_STX) {
      text[0] = '\0';
      return OUTCOME_CONTINUE;
    } else if (wait.over(now)) {
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
