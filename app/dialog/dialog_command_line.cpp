#include "app/dialog/dialog_command_line.h"

#include <memory>
#include <vector>

#include "app/access/release_key.h"
#include "image/image_file.h"

namespace {

const char USAGE[] = "usage: orvaload [--release-key KEYFILE] [FILE | --image FILE]";

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

DialogImageChoice dialog_image_from_command_line(int argc, const char* const* argv,
                                                 LoadedImage* loaded) {
  DialogImageChoice choice;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string key_path;
  bool key_given = false;
  if (args.size() >= 2 && args[0] == "--release-key") {
    key_path = args[1];
    key_given = true;
    args.erase(args.begin(), args.begin() + 2);
  }
  std::string path;
  if (args.size() == 1 && !args[0].empty() && args[0][0] != '-') {
    path = args[0];
  } else if (args.size() == 2 && args[0] == "--image") {
    path = args[1];
  } else if (!args.empty() || (key_given && key_path.empty())) {
    choice.refusal = USAGE;
    return choice;
  }
  std::unique_ptr<ReleaseKey> key;
  if (key_given) {
    std::string problem;
    key = ReleaseKey::read_file(key_path, &problem);
    if (!key) {
      choice.refusal = "--release-key " + problem;
      return choice;
    }
  }
  if (args.empty()) return choice;
  if (path.empty()) {
    choice.refusal = USAGE;
    return choice;
  }
  ImageCheck check;
  if (key) {
    std::vector<uint8_t> file;
    const std::string problem = release_read_signed_file(*key, path, &file);
    if (!problem.empty()) {
      choice.refusal = path + ": " + problem;
      return choice;
    }
    check = image_load(file.data(), file.size(), IMAGE_DEFAULT_RAW_ADDRESS, IMAGE_MAX_SPAN, loaded);
  } else {
    check = image_load_file(path, IMAGE_DEFAULT_RAW_ADDRESS, loaded);
  }
  if (!check.ok()) {
    choice.refusal = path + ": " + check.reason;
    return choice;
  }
  choice.from_file = true;
  choice.name = base_name(path);
  return choice;
}
