#include "link/answer_in_hand.h"

#include "link/frame.h"

// A dry run on a copy of the receive state, payload index included; the
// bytes are parsed for real once the read has ended, in one pass as before,
// so answers that arrive in one piece are still handled together.
size_t AnswerInHand::missing(const uint8_t* data, size_t size) const {
  LinkContext scratch{};
  scratch.rx_state = ctx_->rx_state;
  scratch.received = ctx_->received;
  uint16_t payload_index = link_payload_index;
  const int16_t count = static_cast<int16_t>(size < LINK_READ_SIZE ? size : LINK_READ_SIZE);
  int16_t position = 0;
  bool ended = false;
  while (position < count) {
    const int16_t before = position;
    ended = frame_parse_from(&scratch, &payload_index, data, &position, count, nullptr, nullptr) !=
                PARSE_MORE ||
            ended;
    if (position <= before) {
      break;
    }
  }
  if (ended && scratch.rx_state == RX_WAIT_STX) {
    return 0;
  }
  return frame_bytes_missing(&scratch, payload_index);
}
