// The one application object: it holds the handle of the open serial port
// for the dialog, and its start-up runs the dialog modally.
#pragma once

#include "link/port.h"

class COrvaLoadApp {
public:
  // Each platform's start-up defines this: it runs the upgrade dialog
  // modally and returns 0 once the dialog has ended and no worker runs.
  int InitInstance();

  PortHandle port_handle = 0;
};
