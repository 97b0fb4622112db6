#include "serial/device_names.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/com_name.h"
#include "serial/port_list.h"
#include "serial/serial.h"

namespace {

struct TableRange {
  int first; // first COM number of the range
  int last;
  const char* node; // device node name without its number
  bool legacy;      // nodes exist whether or not hardware does
};

const TableRange TABLE[] = {
    {SERIAL_LIST_FIRST, 32, "ttyS", true},
    {33, 64, "ttyUSB", false},
    {65, SERIAL_LIST_LAST, "ttyACM", false},
};

const TableRange* table_range(int number) {
  for (const TableRange& range : TABLE) {
    if (number >= range.first && number <= range.last) return &range;
  }
  return nullptr;
}

bool put(char* out, size_t size, const char* text) {
  const size_t length = std::strlen(text);
  if (length >= size) return false;
  std::memcpy(out, text, length + 1);
  return true;
}

bool format_fits(int written, size_t size) {
  return written >= 0 && static_cast<size_t>(written) < size;
}

// The link for COMn, or false when there is no link folder.
bool link_path(const DeviceRoots& roots, int number, char* path, size_t size) {
  if (!roots.links) return false;
  return format_fits(std::snprintf(path, size, "%s/com%d", roots.links, number), size);
}

bool table_path(const DeviceRoots& roots, const TableRange& range, int number, char* path,
                size_t size) {
  const int index = number - range.first;
  return format_fits(std::snprintf(path, size, "%s/%s%d", roots.dev, range.node, index), size);
}

bool is_char_device(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

// The 8250 driver makes a ttyS node for every legacy port whether or not a
// UART answers there; sysfs tells the port type, 0 when nothing was found.
bool uart_present(const DeviceRoots& roots, const char* node) {
  char path[SERIAL_PATH_SIZE];
  if (!format_fits(std::snprintf(path, sizeof path, "%s/class/tty/%s/type", roots.sys, node),
                   sizeof path)) {
    return false;
  }
  FILE* file = std::fopen(path, "r");
  if (!file) return false;
  int type = 0;
  const bool read = std::fscanf(file, "%d", &type) == 1;
  std::fclose(file);
  return read && type != 0;
}

} // namespace

DeviceRoots device_roots(char* buffer, size_t size) {
  DeviceRoots roots{"/dev", "/sys", nullptr};
  // A relative XDG_CONFIG_HOME is to be ignored, as the XDG rules say.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  int written = -1;
  if (config && config[0] == '/') {
    written = std::snprintf(buffer, size, "%s/orvaload/dosdevices", config);
  } else {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') {
      written = std::snprintf(buffer, size, "%s/.config/orvaload/dosdevices", home);
    }
  }
  if (format_fits(written, size)) roots.links = buffer;
  return roots;
}

bool device_resolve(const DeviceRoots& roots, const char* name, char* path, size_t size) {
  if (!name || !path || size == 0) return false;
  if (strnlen(name, COM_NAME_LENGTH_MAX + 1) > COM_NAME_LENGTH_MAX) return false;
  if (name[0] == '/') return put(path, size, name);

  const int number = com_number(name);
  if (number == 0) return false;

  char link[SERIAL_PATH_SIZE];
  struct stat st;
  if (link_path(roots, number, link, sizeof link) && lstat(link, &st) == 0) {
    char target[PATH_MAX];
    if (realpath(link, target)) return put(path, size, target);
    return put(path, size, link);
  }
  const TableRange* range = table_range(number);
  return range && table_path(roots, *range, number, path, size);
}

bool device_exists(const DeviceRoots& roots, int number) {
  if (number < SERIAL_LIST_FIRST || number > SERIAL_LIST_LAST) return false;

  char path[SERIAL_PATH_SIZE];
  struct stat st;
  if (link_path(roots, number, path, sizeof path) && lstat(path, &st) == 0) {
    return is_char_device(path);
  }
  const TableRange* range = table_range(number);
  if (!range || !table_path(roots, *range, number, path, sizeof path)) return false;
  if (!is_char_device(path)) return false;
  return !range->legacy || uart_present(roots, std::strrchr(path, '/') + 1);
}
