// The token a server asks every request for, read from a file that only its
// owner may read or write (as ssh treats a private key) and that is strong
// enough to be guessed by nobody.
#pragma once

#include <cstddef>
#include <string>

// A token is a secret a person generates, not a password they remember.
constexpr size_t TOKEN_MIN = 16;
constexpr size_t TOKEN_MAX = 256;
// The strength asked for, in bits: length times log2 of the number of
// distinct characters (32 hex digits: 128; 16 of them: 64).
constexpr double TOKEN_BITS_MIN = 64;

enum class TokenFileStatus { ok, unreadable, open_to_others, malformed, one_character, weak };

struct TokenFile {
  TokenFileStatus status = TokenFileStatus::ok;
  std::string token;
  std::string reason; // one line when not ok
};

// Why the file at `path` cannot be read ("No such file or directory", "it is
// a folder"...), or empty when it can.
std::string file_unreadable_reason(const std::string& path);

// The first line of the file, without its line end.
TokenFile token_file_read(const std::string& path);

// The strength of a token by the measure above.
double token_bits(const std::string& token);

// Whether anyone but the file's owner may read or write it. Windows: files
// take the access of their folder, which is not checked; always false.
bool token_file_open_to_others(const std::string& path);
