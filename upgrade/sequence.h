// The upgrade on the wire: progress to the controller, erase in 16 KiB
// blocks, program in 256-byte chunks, start the new application. Plain
// functions over the worker record, run on the worker's thread. Each returns
// the outcome code of the last exchange (0 go on, 1 failed, -1 finished);
// anything but 0 ends the run. The negative guard codes below are returned
// silently when a step is called without a record or with an argument it
// refuses; they never arise in a run.
#pragma once

#include <cstdint>

#include "link/messages.h"
#include "notify/notify.h"
#include "upgrade/firmware.h"

class UpgradeWorker;

constexpr int32_t UPGRADE_GUARD_PROGRESS = -7;
constexpr int32_t UPGRADE_GUARD_BLOCK = -8;
constexpr int32_t UPGRADE_GUARD_RANGE = -9;
constexpr int32_t UPGRADE_GUARD_START = -10;

constexpr uint32_t UPGRADE_ERASE_BLOCK_SIZE = 16384;
constexpr uint32_t UPGRADE_CHUNK_SIZE = 256;
// Progress in tenths of a percent.
constexpr int32_t UPGRADE_ERASE_FROM = 0;
constexpr int32_t UPGRADE_ERASE_TO = 120;
constexpr int32_t UPGRADE_PROGRAM_FROM = 121;
constexpr int32_t UPGRADE_PROGRAM_TO = 1000;

// Room for the sequence's own status texts; they carry no line ending.
constexpr int UPGRADE_STEP_TEXT_SIZE = 128;

static_assert(UPGRADE_ERASE_BLOCK_SIZE >= 256, "upgrade_erase_block takes 256 bytes or more");
static_assert(UPGRADE_CHUNK_SIZE >= 1 && UPGRADE_CHUNK_SIZE <= MSG_PROGRAM_MAX_DATA,
              "a chunk fits one program message");
static_assert(UPGRADE_ERASE_FROM < UPGRADE_ERASE_TO && UPGRADE_ERASE_TO < UPGRADE_PROGRAM_FROM &&
                  UPGRADE_PROGRAM_FROM < UPGRADE_PROGRAM_TO && UPGRADE_PROGRAM_TO == 1000,
              "erasing, then programming, on one per-mille scale");
static_assert(UPGRADE_STEP_TEXT_SIZE <= NOTIFY_TEXT_SIZE, "a step text goes out whole");

// Posts `value` when it changed, and tells the controller when the whole
// percent changed (the first call of a run also resets the link).
int32_t upgrade_report_progress(UpgradeWorker* worker, int32_t value);
// size at least 256.
int32_t upgrade_erase_block(UpgradeWorker* worker, uint32_t address, uint32_t size,
                            int32_t progress);
// size 1 to 256.
int32_t upgrade_program_chunk(UpgradeWorker* worker, uint32_t address, const uint8_t* data,
                              uint32_t size, int32_t progress);
// How many blocks upgrade_erase_range erases for `size` bytes at `start`.
uint32_t upgrade_erase_blocks(uint32_t start, uint32_t size);
// About how many answers a run of `image` waits for: one per erase block and
// per chunk, one per whole percent, the first progress and the jump.
uint32_t upgrade_answers(const FirmwareImage& image);
int32_t upgrade_erase_range(UpgradeWorker* worker, uint32_t start, uint32_t size,
                            int32_t progress_from, int32_t progress_to);
int32_t upgrade_program_range(UpgradeWorker* worker, uint32_t start, const uint8_t* data,
                              uint32_t size, int32_t progress_from, int32_t progress_to);
// Final progress, the jump to `address` and the closing exchange; posts
// "Program success, starting application..." only when both went well.
int32_t upgrade_start_application(UpgradeWorker* worker, uint32_t address);

// One whole run with `image`: progress 0, erase, program, start. Returns the
// result of the step that ended it. Expects the fields that start() resets
// (last_progress -1, last_result 0, cancel 0).
int32_t upgrade_run(UpgradeWorker* worker, const FirmwareImage& image);
