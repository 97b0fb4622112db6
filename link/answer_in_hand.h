// When a read of the controller's answers may end without waiting for the
// line to go quiet.
#pragma once

#include "link/link_records.h"
#include "link/port.h"

// Complete once the bytes in hand, parsed on from where ctx's parser stands,
// have ended at least one frame (well-formed or not) and begun no other: the
// engine then has an answer to act on, and no part of a later one waits
// behind it. Noise alone, or a frame still coming, leaves the read to end
// when the line goes quiet. Until then, the bytes missing are those the
// frame in progress needs at least (a whole empty frame when none is). The
// judgement changes nothing in ctx, nor in the parser's own state.
class AnswerInHand final : public ReadCheck {
public:
  explicit AnswerInHand(const LinkContext* ctx) : ctx_(ctx) {}
  size_t missing(const uint8_t* data, size_t size) const override;

private:
  const LinkContext* ctx_;
};
