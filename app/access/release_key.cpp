#include "app/access/release_key.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <iterator>

#include "image/image_file.h"
#include "image/sha256.h"

struct ReleaseKey::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

ReleaseKey::ReleaseKey(std::unique_ptr<Key> key, std::string fingerprint)
    : key_(std::move(key)), fingerprint_(std::move(fingerprint)) {}

ReleaseKey::~ReleaseKey() = default;

std::unique_ptr<ReleaseKey> ReleaseKey::from_pem(const std::string& pem, std::string* problem) {
  auto key = std::make_unique<Key>();
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio != nullptr) key->pkey = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key->pkey == nullptr) {
    *problem = "holds no public key in PEM (make one with: openssl pkey -in KEY -pubout)";
    return nullptr;
  }
  if (EVP_PKEY_get_id(key->pkey) != EVP_PKEY_ED25519) {
    *problem = "holds a public key that is not Ed25519 (openssl genpkey -algorithm ed25519)";
    return nullptr;
  }
  unsigned char raw[32];
  size_t raw_size = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key->pkey, raw, &raw_size) != 1) {
    *problem = "holds an Ed25519 key that cannot be read";
    return nullptr;
  }
  const std::string fingerprint = sha256_hex(sha256(raw, raw_size)).substr(0, 16);
  return std::unique_ptr<ReleaseKey>(new ReleaseKey(std::move(key), fingerprint));
}

std::unique_ptr<ReleaseKey> ReleaseKey::read_file(const std::string& path, std::string* problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *problem = path + ": cannot be read";
    return nullptr;
  }
  std::string pem;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    pem.append(chunk, static_cast<size_t>(in.gcount()));
    if (pem.size() > RELEASE_KEY_FILE_MAX) {
      *problem = path + ": is no key (over 16 KiB)";
      return nullptr;
    }
  }
  std::unique_ptr<ReleaseKey> key = from_pem(pem, problem);
  if (!key) *problem = path + ": " + *problem;
  return key;
}

std::string ReleaseKey::check(const uint8_t* data, size_t size,
                              const std::vector<uint8_t>& signature) const {
  if (signature.size() != RELEASE_SIGNATURE_BYTES) {
    return "the signature is " + std::to_string(signature.size()) +
           " bytes, not an Ed25519 signature's 64";
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool good = context != nullptr &&
              EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key_->pkey) == 1 &&
              EVP_DigestVerify(context, signature.data(), signature.size(), data, size) == 1;
  EVP_MD_CTX_free(context);
  if (!good) return "its signature does not verify with the release key " + fingerprint_;
  return "";
}

std::string release_signature_read_file(const std::string& path, std::vector<uint8_t>* signature) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "no signature " + path + " beside it";
  signature->assign(RELEASE_SIGNATURE_BYTES + 1, 0);
  in.read(reinterpret_cast<char*>(signature->data()),
          static_cast<std::streamsize>(signature->size()));
  signature->resize(static_cast<size_t>(in.gcount()));
  if (signature->size() != RELEASE_SIGNATURE_BYTES) {
    return "its signature " + path + " is not the 64 bytes of an Ed25519 signature";
  }
  return "";
}

std::string release_read_signed_file(const ReleaseKey& key, const std::string& path,
                                     std::vector<uint8_t>* file) {
  const ImageCheck read = image_read_file(path, file);
  if (!read.ok()) return read.reason;
  std::vector<uint8_t> signature;
  const std::string wrong = release_signature_read_file(path + ".sig", &signature);
  if (wrong.rfind("no signature", 0) == 0)
    return wrong + " (with --release-key every image is signed)";
  if (!wrong.empty()) return wrong;
  return key.check(file->data(), file->size(), signature);
}
