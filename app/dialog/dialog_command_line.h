// The dialog program's command line: nothing (the built-in image), or one
// firmware file as `orvaload FILE` or `orvaload --image FILE`, each after
// `--release-key KEYFILE` to take only a file signed by that key. The file is
// read and checked before the dialog shows, so a bad one never reaches the
// Upgrade button. Toolkit-free; each start-up shows the refusal its own way.
#pragma once

#include <string>

#include "image/image_load.h"

// The caption of the message box that refuses a file.
constexpr const char* DIALOG_REFUSAL_CAPTION = "Vendral ORVA Upgrader";

struct DialogImageChoice {
  bool from_file = false; // false: the built-in image
  std::string name;       // the file's name without its folder, for the caption
  std::string refusal;    // set when the program must not show the dialog
};

// Fills `loaded` when the command line names a file that passes every check.
DialogImageChoice dialog_image_from_command_line(int argc, const char* const* argv,
                                                 LoadedImage* loaded);
