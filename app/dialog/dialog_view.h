// The window's controls as the upgrade dialog's behaviour sees them. The
// Win32 and wx front ends map them onto their toolkits; the tests fake them.
#pragma once

#include <cstdint>
#include <string>

#include "res/resource.h"

// The button beside Upgrade: Cancel while a run goes, Close before and after.
constexpr int CANCEL_CLOSE_BUTTON = IDC_SECOND_BUTTON;

class DialogView {
public:
  virtual ~DialogView() = default;

  virtual void set_icons() = 0;
  virtual std::string caption() const = 0;
  virtual void set_caption(const std::string& text) = 0;

  // Controls by their dialog id (res/resource.h).
  virtual void set_text(int control, const char* text) = 0;
  virtual void set_enabled(int control, bool enabled) = 0;

  // The port list keeps entries in the order added; item data of an index
  // that does not exist (such as -1, nothing selected) reads -1.
  virtual void port_list_clear() = 0;
  virtual int port_list_add(const char* text) = 0;
  virtual void port_list_set_data(int index, intptr_t data) = 0;
  virtual void port_list_select(int index) = 0;
  virtual int port_list_selection() const = 0;
  virtual intptr_t port_list_data(int index) const = 0;

  virtual void set_progress_range(int low, int high) = 0;
  virtual void set_progress(int position) = 0;

  virtual void end_dialog(int result) = 0;
};
