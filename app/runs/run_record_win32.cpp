#include "app/runs/run_record.h"

#include <windows.h>

#include <cstdlib>
#include <ctime>

namespace {

RecordAppend failure(RecordStatus status, const std::string& path) {
  return record_failure(status, path, " (error " + std::to_string(GetLastError()) + ")");
}

} // namespace

RecordAppend run_record_append(const std::string& path, const std::string& line) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return failure(RecordStatus::cannot_open, path);
  }
  // Every writer takes the whole file's lock before it seeks to the end, so
  // the end it finds is still the end when it writes.
  RecordAppend result;
  OVERLAPPED whole{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) == 0) {
    result = failure(RecordStatus::cannot_lock, path);
  } else {
    LARGE_INTEGER none{};
    DWORD written = 0;
    const bool whole_line =
        SetFilePointerEx(file, none, nullptr, FILE_END) != 0 &&
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) != 0 &&
        written == line.size();
    if (!whole_line) result = failure(RecordStatus::cannot_write, path);
    OVERLAPPED again{};
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &again);
  }
  CloseHandle(file);
  return result;
}

std::string run_record_host() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
}

std::string run_record_state_folder() {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return "";
  return std::string(local) + "\\orvaload";
}

void run_record_private_files() {}

std::string run_record_utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char text[32] = "";
  if (gmtime_s(&utc, &now) == 0) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
