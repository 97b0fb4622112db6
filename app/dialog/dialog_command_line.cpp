#include "app/dialog/dialog_command_line.h"

#include "image/image_file.h"

namespace {

const char USAGE[] = "usage: orvaload [FILE | --image FILE]";

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

DialogImageChoice dialog_image_from_command_line(int argc, const char* const* argv,
                                                 LoadedImage* loaded) {
  DialogImageChoice choice;
  std::string path;
  if (argc == 2 && argv[1][0] != '-') {
    path = argv[1];
  } else if (argc == 3 && std::string(argv[1]) == "--image") {
    path = argv[2];
  } else if (argc > 1) {
    choice.refusal = USAGE;
    return choice;
  } else {
    return choice;
  }
  if (path.empty()) {
    choice.refusal = USAGE;
    return choice;
  }
  const ImageCheck check = image_load_file(path, IMAGE_DEFAULT_RAW_ADDRESS, loaded);
  if (!check.ok()) {
    choice.refusal = path + ": " + check.reason;
    return choice;
  }
  choice.from_file = true;
  choice.name = base_name(path);
  return choice;
}
