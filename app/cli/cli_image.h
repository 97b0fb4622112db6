// The image orvaload-cli sends: the built-in one, or a firmware file given
// with --image, read and checked before any port is opened.
#pragma once

#include <string>

#include "app/cli/cli_options.h"
#include "app/runs/cli_ending.h"
#include "image/image_load.h"
#include "upgrade/firmware.h"

// Reads and checks the file of --image into `loaded`: ok when it can be
// sent, or usage with the refusal, which names the file.
CliEnding cli_load_image(const CliOptions& options, LoadedImage* loaded);

// "gap of N bytes at 0x... filled with 0xFF", one line per gap.
std::string cli_gap_lines(const LoadedImage& loaded);

// What --info prints: where the image comes from, its span, size and
// SHA-256. `file` is empty for the built-in image.
std::string cli_image_info(const std::string& file, const char* format, const FirmwareImage& image);
