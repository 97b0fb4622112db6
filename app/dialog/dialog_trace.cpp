#include "app/dialog/dialog_trace.h"

#include <cstdlib>
#include <string>

namespace {

// Carriage returns and line feeds are written as \r and \n so that one
// change stays one line.
std::string escaped(const char* text) {
  std::string out;
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    if (*p == '\r') out += "\\r";
    else if (*p == '\n') out += "\\n";
    else if (*p == '\\') out += "\\\\";
    else out += *p;
  }
  return out;
}

} // namespace

TracingView::TracingView(DialogView& inner, std::FILE* out) : inner_(inner), out_(out) {}

TracingView::~TracingView() {
  std::fclose(out_);
}

void TracingView::line(const char* what, int control, const char* text) {
  std::fprintf(out_, "%s %d %s\n", what, control, escaped(text).c_str());
  std::fflush(out_);
}

void TracingView::set_icons() {
  inner_.set_icons();
}

std::string TracingView::caption() const {
  return inner_.caption();
}

void TracingView::set_caption(const std::string& text) {
  line("caption", 0, text.c_str());
  inner_.set_caption(text);
}

void TracingView::set_text(int control, const char* text) {
  line("text", control, text);
  inner_.set_text(control, text);
}

void TracingView::set_enabled(int control, bool enabled) {
  line("enabled", control, enabled ? "1" : "0");
  inner_.set_enabled(control, enabled);
}

void TracingView::port_list_clear() {
  line("clear", 0, "");
  inner_.port_list_clear();
}

int TracingView::port_list_add(const char* text) {
  line("port", 0, text);
  return inner_.port_list_add(text);
}

void TracingView::port_list_set_data(int index, intptr_t data) {
  inner_.port_list_set_data(index, data);
}

void TracingView::port_list_select(int index) {
  inner_.port_list_select(index);
}

int TracingView::port_list_selection() const {
  return inner_.port_list_selection();
}

intptr_t TracingView::port_list_data(int index) const {
  return inner_.port_list_data(index);
}

void TracingView::set_progress_range(int low, int high) {
  inner_.set_progress_range(low, high);
}

void TracingView::set_progress(int position) {
  line("progress", position, "");
  inner_.set_progress(position);
}

void TracingView::end_dialog(int result) {
  line("end", result, "");
  inner_.end_dialog(result);
}

DialogView& traced_view(DialogView& inner, std::unique_ptr<TracingView>& holder) {
  const char* path = std::getenv("ORVA_DIALOG_TRACE");
  if (path == nullptr || *path == '\0') return inner;
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return inner;
  holder = std::make_unique<TracingView>(inner, out);
  return *holder;
}
