#include "app/http/token_file.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

const char MAKE_ONE[] = "(e.g. from: openssl rand -hex 32)";

TokenFile problem(TokenFileStatus status, std::string reason) {
  TokenFile file;
  file.status = status;
  file.reason = std::move(reason);
  return file;
}

} // namespace

std::string file_unreadable_reason(const std::string& path) {
  if (std::ifstream(path, std::ios::binary)) return "";
  std::error_code failed;
  const std::filesystem::file_status status = std::filesystem::status(path, failed);
  if (failed) return failed.message();
  if (std::filesystem::is_directory(status)) return "it is a folder";
  return "no permission to read it";
}

double token_bits(const std::string& token) {
  const std::set<char> distinct(token.begin(), token.end());
  return distinct.size() < 2 ? 0 : token.size() * std::log2(distinct.size());
}

TokenFile token_file_read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return problem(TokenFileStatus::unreadable,
                   "cannot read the token file " + path + ": " + file_unreadable_reason(path));
  }
  if (token_file_open_to_others(path)) {
    return problem(TokenFileStatus::open_to_others,
                   "the token file " + path +
                       " may be read or written by others: make it its owner's alone "
                       "(chmod 600 " +
                       path + ")");
  }
  TokenFile read;
  std::getline(in, read.token);
  if (!read.token.empty() && read.token.back() == '\r') read.token.pop_back();
  bool printable = true;
  for (const char c : read.token) printable = printable && c > 0x20 && c < 0x7f;
  if (!printable || read.token.size() < TOKEN_MIN || read.token.size() > TOKEN_MAX) {
    return problem(TokenFileStatus::malformed,
                   "the token in " + path + " must be one line of " + std::to_string(TOKEN_MIN) +
                       " to " + std::to_string(TOKEN_MAX) +
                       " printable characters without spaces " + MAKE_ONE);
  }
  const double bits = token_bits(read.token);
  if (bits == 0) {
    return problem(TokenFileStatus::one_character,
                   "the token in " + path + " is one character repeated " + MAKE_ONE);
  }
  if (bits < TOKEN_BITS_MIN) {
    return problem(TokenFileStatus::weak,
                   "the token in " + path +
                       " is too weak: " + std::to_string(static_cast<int>(bits)) +
                       " bits (length times log2 of "
                       "its distinct characters), at least " +
                       std::to_string(static_cast<int>(TOKEN_BITS_MIN)) + " needed " + MAKE_ONE);
  }
  return read;
}
