// The key that signs firmware releases: an Ed25519 public key in a PEM
// file, and the detached signature of an image file's bytes (64 bytes, as
// `openssl pkeyutl -sign -rawin` writes them). An image is taken only when
// its signature verifies with the key; anything else is refused with one
// line that says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An Ed25519 signature is 64 bytes.
constexpr size_t RELEASE_SIGNATURE_BYTES = 64;
// A PEM public key is a few hundred bytes; a bigger file is no key.
constexpr uint64_t RELEASE_KEY_FILE_MAX = 16 * 1024;

class ReleaseKey {
public:
  // The key in the PEM file `path`; null, with *problem set, for a file that
  // cannot be read or holds no Ed25519 public key.
  static std::unique_ptr<ReleaseKey> read_file(const std::string& path, std::string* problem);
  // The same from the PEM text itself.
  static std::unique_ptr<ReleaseKey> from_pem(const std::string& pem, std::string* problem);
  ~ReleaseKey();
  ReleaseKey(const ReleaseKey&) = delete;
  ReleaseKey& operator=(const ReleaseKey&) = delete;

  // Empty when `signature` is this key's signature of the bytes; otherwise
  // why it is not.
  std::string check(const uint8_t* data, size_t size, const std::vector<uint8_t>& signature) const;
  // The first 16 hex digits of the SHA-256 of the raw public key: which key
  // it is, for people and the audit trail.
  const std::string& fingerprint() const { return fingerprint_; }

private:
  struct Key;
  explicit ReleaseKey(std::unique_ptr<Key> key, std::string fingerprint);
  std::unique_ptr<Key> key_;
  std::string fingerprint_;
};

// The detached signature in `path` (FILE.sig beside an image file): 64
// bytes; empty when so, otherwise why not.
std::string release_signature_read_file(const std::string& path, std::vector<uint8_t>* signature);

// An image file read whole and its signature beside it (FILE.sig) checked
// with `key`: empty when the signature verifies, otherwise the one line that
// refuses the file. The bytes checked are those given back in *file, so that
// what is loaded is what was checked.
std::string release_read_signed_file(const ReleaseKey& key, const std::string& path,
                                     std::vector<uint8_t>* file);
