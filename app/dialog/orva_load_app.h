// The one application object: it holds the handle of the open serial port
// for the dialog and the image Upgrade sends, and its start-up runs the
// dialog modally.
#pragma once

#include <string>

#include "link/port.h"
#include "upgrade/firmware.h"

class COrvaLoadApp {
public:
  // Each platform's start-up defines this: it runs the upgrade dialog
  // modally and returns 0 once the dialog has ended and no worker runs.
  int InitInstance();

  PortHandle port_handle = 0;
  // A firmware file named on the command line, whose bytes live as long as
  // the program; null for the built-in image.
  const FirmwareImage* image = nullptr;
  // The file's name, shown in the caption after the version; empty for the
  // built-in image.
  std::string image_name;
};
