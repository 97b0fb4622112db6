// The upgrade sequence driven on the test's own thread over a scripted
// controller: what goes on the wire, what the dialog is told, and how each
// failure ends the run.
#include <algorithm>
#include <string>

#include "link/engine.h"
#include "tests/upgrade/run_checks.h"
#include "upgrade/sequence.h"

namespace {

const char* const CANCELLED = "user canceled transmission, upgrade not complete!\r\n";
const char* const TIMEOUT = "serial port timeout during transmission, error!\r\n";
const char* const SUCCESS = "Program success, starting application...";

// Frame indices of a clean run with the built-in image: progress 0, then
// each erase block followed by a progress message, and so on.
constexpr size_t ERASE_3 = 7; // P0 E0 P1 E1 P2 E2 P3 E3
constexpr size_t PROGRESS_100 = 816;
constexpr size_t JUMP = 817;

class SequenceTest : public UpgradeTest {
protected:
  SequenceTest() { prime(); }
  int32_t run() { return upgrade_run(&worker, image); }
  std::vector<Notice> notices() { return drain(queue); }
  // The last text notice, which must be the failure.
  Notice last_text(const std::vector<Notice>& seen) {
    for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
      if (it->kind == NOTIFY_TEXT) {
        return *it;
      }
    }
    return {};
  }
  bool any_text_starting(const std::vector<Notice>& seen, const std::string& prefix) {
    for (const std::string& t : texts_of(seen)) {
      if (t.rfind(prefix, 0) == 0) {
        return true;
      }
    }
    return false;
  }
};

Bytes malformed(uint8_t sequence, int how) {
  Bytes frame = wire_ack(sequence);
  switch (how) {
  case 2:
    frame[2] = 0x41;
    break; // unknown command
  case 3:
    frame[3] = 0x01;
    frame[4] = 0x08;
    break; // length 264
  case 4:
    frame[frame.size() - 2] ^= 0xFF;
    break; // checksum
  case 5:
    frame.back() = 0x00;
    break; // no end byte
  }
  return frame;
}

TEST_F(SequenceTest, CleanRunPutsEveryMessageOnTheWireAndTellsTheDialogEachStep) {
  EXPECT_EQ(run(), OUTCOME_CONTINUE);
  expect_clean_wire(sent(), image, 1);
  expect_clean_notices(notices(), false);
}

TEST_F(SequenceTest, GuardCodesAreSilent) {
  EXPECT_EQ(upgrade_report_progress(nullptr, 5), -7);
  EXPECT_EQ(upgrade_erase_block(nullptr, 0x4000, 16384, 1), -8);
  EXPECT_EQ(upgrade_erase_block(&worker, 0x4000, 255, 1), -8);
  const uint8_t data[300] = {};
  EXPECT_EQ(upgrade_program_chunk(nullptr, 0x4000, data, 16, 1), -8);
  EXPECT_EQ(upgrade_program_chunk(&worker, 0x4000, data, 0, 1), -8);
  // More than one message holds would leave nothing queued and be taken for sent.
  EXPECT_EQ(upgrade_program_chunk(&worker, 0x4000, data, 257, 1), -8);
  EXPECT_EQ(upgrade_erase_range(nullptr, 0x4000, 100, 0, 120), -9);
  EXPECT_EQ(upgrade_program_range(nullptr, 0x4000, data, 100, 121, 1000), -9);
  EXPECT_EQ(upgrade_program_range(&worker, 0x4000, nullptr, 100, 121, 1000), -9);
  EXPECT_EQ(upgrade_start_application(nullptr, 0x4000), -10);
  EXPECT_TRUE(line.writes().empty());
  EXPECT_TRUE(notices().empty());
}

TEST_F(SequenceTest, ControllerHearsOnlyWholePercentChangesDialogEveryChange) {
  EXPECT_EQ(upgrade_report_progress(&worker, 0), 0);
  EXPECT_EQ(upgrade_report_progress(&worker, 5), 0);
  EXPECT_EQ(upgrade_report_progress(&worker, 5), 0);
  EXPECT_EQ(upgrade_report_progress(&worker, 10), 0);
  EXPECT_EQ(upgrade_report_progress(&worker, 3), 0);
  const auto frames = sent();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].payload, Bytes{0});
  EXPECT_EQ(frames[1].payload, Bytes{1});
  EXPECT_EQ(frames[2].payload, Bytes{0});
  EXPECT_EQ(progress_of(notices()), (std::vector<int32_t>{0, 5, 10, 3}));
  EXPECT_EQ(worker.last_progress, 3);
}

TEST_F(SequenceTest, ProgressOfAnImageLoadedHighStaysInItsSpan) {
  upgrade_report_progress(&worker, 0);
  EXPECT_EQ(upgrade_erase_range(&worker, 0x7FFF0000, 0x8000, 0, 120), 0);
  // Blocks at ...0000, ...4000, ...8000: 120 * next / end, computed without overflow.
  EXPECT_EQ(progress_of(notices()), (std::vector<int32_t>{0, 119, 120}));
}

TEST_F(SequenceTest, EraseEndsAtTheTopOfTheAddressSpace) {
  upgrade_report_progress(&worker, 0);
  EXPECT_EQ(upgrade_erase_range(&worker, 0xFFFFC000, 0x3E00, 0, 120), 0);
  size_t erases = 0;
  for (const SentFrame& f : sent()) {
    erases += f.command == CMD_ERASE;
  }
  EXPECT_EQ(erases, 1u);
}

TEST_F(SequenceTest, EmptyRangesSendNothing) {
  const uint8_t data[1] = {};
  EXPECT_EQ(upgrade_program_range(&worker, 0x4000, data, 0, 121, 1000), 0);
  EXPECT_TRUE(line.writes().empty());
  EXPECT_TRUE(notices().empty());
}

TEST_F(SequenceTest, AnImageEndingAtTheTopOfTheAddressSpaceIsErasedFirst) {
  upgrade_report_progress(&worker, 0);
  EXPECT_EQ(upgrade_erase_range(&worker, 0xFFFFFF00, 0x100, 0, 120), 0);
  const auto frames = sent();
  ASSERT_EQ(frames.size(), 3u); // progress 0, the erase, progress 12
  EXPECT_EQ(frames[1].command, CMD_ERASE);
  EXPECT_EQ(be32(frames[1].payload, 0), 0xFFFFFF00u);
  EXPECT_EQ(progress_of(notices()), (std::vector<int32_t>{0, 120}));
  EXPECT_EQ(upgrade_erase_blocks(0xFFFFFF00, 0x100), 1u);
}

TEST_F(SequenceTest, DeviceErrorOnAnEraseBlockEndsTheRunWithItsText) {
  answers[ERASE_3] = wire_ack(ERASE_3, 5);
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  ASSERT_GE(seen.size(), 3u);
  // The error shows in the progress exchange after block 3: its text, the
  // block's progress, then the failure, and nothing after it.
  EXPECT_EQ(seen[seen.size() - 3].text, "Erase address 00010000h 16384 bytes");
  EXPECT_EQ(seen[seen.size() - 2].value, 49);
  EXPECT_EQ(seen.back().text, "ORVA had an internal error(5)!\r\nMessage id 7/7, type erase: "
                              "offset address 0x00010000 size 16384 bytes\r\n");
  EXPECT_EQ(seen.back().code, 1);
  EXPECT_FALSE(any_text_starting(seen, "Program"));
  EXPECT_EQ(line.writes().size(), ERASE_3 + 2);
}

TEST_F(SequenceTest, SilenceDuringAnEraseBlockPostsTheTimeOutBeforeItsProgress) {
  answers[ERASE_3 - 1] = {};
  int64_t silent_since = 0;
  on_write[ERASE_3 - 1] = [&] { silent_since = clock.elapsed_ms(); };
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2].text, "Erase address 00010000h 16384 bytes");
  EXPECT_EQ(seen.back().text, TIMEOUT);
  // The block was queued but never sent.
  EXPECT_EQ(line.writes().size(), ERASE_3);
  // Four to five seconds, plus the read in which the deadline passed.
  EXPECT_GE(clock.elapsed_ms() - silent_since, 4000);
  EXPECT_LE(clock.elapsed_ms() - silent_since, 6000);
}

TEST_F(SequenceTest, EachMalformedAnswerEndsTheRunWithoutRetransmission) {
  for (int how = 2; how <= 5; ++how) {
    SCOPED_TRACE(how);
    forget_writes();
    prime();
    answers.clear();
    answers[300] = malformed(static_cast<uint8_t>(300 % 256), how);
    EXPECT_EQ(run(), OUTCOME_FAILED);
    const auto seen = notices();
    EXPECT_EQ(last_text(seen).text,
              "unknown message format error(" + std::to_string(how) + ")!\r\n");
    EXPECT_EQ(seen.back().kind, NOTIFY_TEXT);
    EXPECT_EQ(line.writes().size(), 301u);
  }
}

TEST_F(SequenceTest, RefusalsAreRetriedThreeTimesThenTheRunFails) {
  answers[200] = wire_nak();
  EXPECT_EQ(run(), OUTCOME_CONTINUE);
  EXPECT_EQ(line.writes().size(), 819u);
  EXPECT_EQ(last_text(notices()).text, SUCCESS);

  forget_writes();
  prime();
  for (size_t i = 200; i < 204; ++i) {
    answers[i] = wire_nak();
  }
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  EXPECT_EQ(seen.back().text, "retransmission failed after multiple retries, error!\r\n");
  EXPECT_EQ(seen.back().code, 1);
}

TEST_F(SequenceTest, ALostLineEndsTheRun) {
  on_write[400] = [this] { line.fail_reads(true); };
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  EXPECT_EQ(seen.back().text, "serial port read error!\r\n");
  EXPECT_EQ(line.writes().size(), 401u);
}

TEST_F(SequenceTest, AFailedFirstWriteEndsTheRunAtOnce) {
  line.fail_writes(true);
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].value, 0);
  EXPECT_EQ(seen[1].text, "serial port write error!\r\n");
}

TEST_F(SequenceTest, ALinkFinishedBeforeTheJumpIsAFailure) {
  // Two acknowledgements in one read: the second finds nothing queued and the
  // link takes itself for done while the image is not yet written.
  answers[500] = wire_join({wire_ack(500 % 256), wire_ack(500 % 256)});
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  const auto texts = texts_of(seen);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "transmission done, success!\r\n");
  EXPECT_EQ(texts.back(), "transmission ended in unexpected state error!\r\n");
  EXPECT_EQ(seen.back().code, 1);
  EXPECT_EQ(worker.last_result, 1);
}

TEST_F(SequenceTest, ASilentControllerAfterTheJumpIsNoFailure) {
  answers[JUMP] = {};
  EXPECT_EQ(run(), OUTCOME_CONTINUE);
  EXPECT_EQ(notices().back().text, SUCCESS);
}

TEST_F(SequenceTest, NoSuccessWhenTheJumpWasNeverSent) {
  answers[PROGRESS_100] = {};
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  EXPECT_EQ(seen.back().text, TIMEOUT);
  EXPECT_EQ(line.writes().size(), JUMP);
}

// The closing exchange judges the jump's answer as any other: refusals,
// malformed answers, device errors and a link that finished early all end
// the run without the success text.
TEST_F(SequenceTest, TheJumpIsRetransmittedOnRefusalAndFailsAfterTheFourth) {
  answers[JUMP] = wire_nak();
  EXPECT_EQ(run(), OUTCOME_CONTINUE);
  EXPECT_EQ(notices().back().text, SUCCESS);
  auto frames = sent();
  ASSERT_EQ(frames.size(), JUMP + 2);
  EXPECT_EQ(frames.back().command, CMD_JUMP);
  EXPECT_EQ(frames.back().payload, frames[JUMP].payload);
  EXPECT_EQ(frames.back().sequence, static_cast<uint8_t>(frames[JUMP].sequence + 1));

  forget_writes();
  prime();
  for (size_t i = JUMP; i < JUMP + 4; ++i) {
    answers[i] = wire_nak();
  }
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  EXPECT_EQ(seen.back().text, "retransmission failed after multiple retries, error!\r\n");
  EXPECT_EQ(seen.back().code, 1);
  EXPECT_FALSE(any_text_starting(seen, SUCCESS));
  EXPECT_EQ(line.writes().size(), JUMP + 4);
}

TEST_F(SequenceTest, AMalformedAnswerToTheJumpIsAFormatError) {
  for (int how = 2; how <= 5; ++how) {
    SCOPED_TRACE(how);
    forget_writes();
    prime();
    answers[JUMP] = malformed(JUMP % 256, how);
    EXPECT_EQ(run(), OUTCOME_FAILED);
    const auto seen = notices();
    EXPECT_EQ(seen.back().text, "unknown message format error(" + std::to_string(how) + ")!\r\n");
    EXPECT_EQ(seen.back().code, 1);
    EXPECT_FALSE(any_text_starting(seen, SUCCESS));
    EXPECT_EQ(worker.last_result, 1);
  }
}

TEST_F(SequenceTest, ADeviceErrorInASplitAcknowledgementOfTheJumpNamesTheJump) {
  const std::string text = "ORVA had an internal error(9)!\r\nMessage id 49/49, type jump: offset "
                           "address 0x00004000\r\n";
  clock.set_step_ms(10); // single bytes come much faster than a read's time-out
  for (size_t piece : {size_t{1}, size_t{4}}) {
    SCOPED_TRACE(piece);
    forget_writes();
    prime();
    // One byte per read, or two reads cut by a quiet gap.
    answers[JUMP] = {};
    on_write[JUMP] = [this, piece] {
      const Bytes ack = wire_ack(JUMP % 256, 9);
      for (size_t at = 0; at < ack.size(); at += piece) {
        line.push_read(Bytes(ack.begin() + at, ack.begin() + std::min(ack.size(), at + piece)));
      }
    };
    EXPECT_EQ(run(), OUTCOME_FAILED);
    const auto seen = notices();
    EXPECT_EQ(seen.back().text, text);
    EXPECT_EQ(seen.back().code, 1);
    EXPECT_FALSE(any_text_starting(seen, SUCCESS));
  }
}

TEST_F(SequenceTest, TwoAcknowledgementsInTheReadThatSentTheJumpAreAFailure) {
  answers[PROGRESS_100] = wire_join({wire_ack(PROGRESS_100 % 256), wire_ack(PROGRESS_100 % 256)});
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  const auto texts = texts_of(seen);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "transmission done, success!\r\n");
  EXPECT_EQ(texts.back(), "transmission ended in unexpected state error!\r\n");
  EXPECT_EQ(seen.back().code, 1);
  EXPECT_FALSE(any_text_starting(seen, SUCCESS));
}

TEST_F(SequenceTest, CancelTakesEffectAtTheNextWholePercent) {
  on_write[300] = [this] { worker.cancel = 1; };
  EXPECT_EQ(run(), OUTCOME_FAILED);
  const auto seen = notices();
  EXPECT_EQ(seen.back().text, CANCELLED);
  EXPECT_EQ(seen.back().code, 1);
  // The progress message that would have carried the next percent is never sent.
  const auto frames = sent();
  EXPECT_EQ(frames.back().command, CMD_PROGRAM);
  EXPECT_LE(frames.size(), 300u + 2 * 8);
}

TEST_F(SequenceTest, CancelAfterTheLastPercentLetsTheRunComplete) {
  on_write[PROGRESS_100] = [this] { worker.cancel = 1; };
  EXPECT_EQ(run(), OUTCOME_CONTINUE);
  EXPECT_EQ(notices().back().text, SUCCESS);
  EXPECT_EQ(line.writes().size(), JUMP + 1);
}

} // namespace
