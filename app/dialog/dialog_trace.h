// A test hook: when ORVA_DIALOG_TRACE names a file, every change the dialog
// makes to its window is also written there, one line per change, so a test
// that drives the real program can read the final state (the status text,
// the Cancel/Close button's label) that it cannot see on the screen. Without the
// variable the program writes nothing.
#pragma once

#include <cstdio>
#include <memory>

#include "app/dialog/dialog_view.h"

class TracingView final : public DialogView {
public:
  TracingView(DialogView& inner, std::FILE* out);
  ~TracingView() override;

  void set_icons() override;
  std::string caption() const override;
  void set_caption(const std::string& text) override;
  void set_text(int control, const char* text) override;
  void set_enabled(int control, bool enabled) override;
  void port_list_clear() override;
  int port_list_add(const char* text) override;
  void port_list_set_data(int index, intptr_t data) override;
  void port_list_select(int index) override;
  int port_list_selection() const override;
  intptr_t port_list_data(int index) const override;
  void set_progress_range(int low, int high) override;
  void set_progress(int position) override;
  void end_dialog(int result) override;

private:
  void line(const char* what, int control, const char* text);

  DialogView& inner_;
  std::FILE* out_;
};

// The view the dialog logic should talk to: `inner` itself, or a tracing
// view over it when the environment asks for one (kept in `holder`).
DialogView& traced_view(DialogView& inner, std::unique_ptr<TracingView>& holder);
