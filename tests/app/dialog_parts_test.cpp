#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/dialog/dialog_command_line.h"
#include "app/dialog/dialog_trace.h"
#include "app/dialog/orva_load_dlg.h"
#include "tests/app/dialog_fakes.h"

namespace {

TEST(DialogIcon, MinimisedIconIsCentredWithTruncatingDivision) {
  EXPECT_EQ(dialog_icon_origin(32, 32), 0);
  EXPECT_EQ(dialog_icon_origin(160, 32), 64);
  EXPECT_EQ(dialog_icon_origin(161, 32), 65);
  // A client area smaller than the icon: -31 / 2 is -15, not -16.
  EXPECT_EQ(dialog_icon_origin(0, 32), -15);
  EXPECT_EQ(dialog_icon_origin(1, 32), -15);
}

TEST(DialogTrace, WritesEachChangeOnOneLineAndPassesItOn) {
  const std::string path = ::testing::TempDir() + "dialog_trace_test.txt";
  FakeView inner;
  {
    TracingView view(inner, std::fopen(path.c_str(), "w"));
    view.set_text(IDC_STATUS, "two\r\nlines \\ here");
    view.set_enabled(IDC_UPGRADE, false);
    view.set_progress(1000);
    view.set_caption("caption");
    view.port_list_add("Serial Port: COM5");
    view.end_dialog(DIALOG_RESULT_CANCEL);
  }
  EXPECT_EQ(inner.text[IDC_STATUS], "two\r\nlines \\ here");
  EXPECT_FALSE(inner.enabled[IDC_UPGRADE]);
  EXPECT_EQ(inner.progress, 1000);
  EXPECT_EQ(inner.entries.size(), 1u);
  EXPECT_EQ(inner.ended, DIALOG_RESULT_CANCEL);

  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(), "text 1005 two\\r\\nlines \\\\ here\n"
                       "enabled 1000 0\n"
                       "progress 1000 \n"
                       "caption 0 caption\n"
                       "port 0 Serial Port: COM5\n"
                       "end 2 \n");
  std::remove(path.c_str());
}

DialogImageChoice choose(std::initializer_list<const char*> args, LoadedImage* loaded) {
  std::vector<const char*> argv{"orvaload"};
  argv.insert(argv.end(), args.begin(), args.end());
  return dialog_image_from_command_line(static_cast<int>(argv.size()), argv.data(), loaded);
}

TEST(DialogCommandLine, NoneAFileOrARefusalBeforeTheDialogShows) {
  const std::string good = ::testing::TempDir() + "dialog_image.srec";
  const std::string bad = ::testing::TempDir() + "dialog_bad.hex";
  std::ofstream(good) << "S1054000AABB55\nS9030000FC\n";
  std::ofstream(bad) << ":0440000001020304B3\n:00000001FF\n";

  LoadedImage loaded;
  const DialogImageChoice none = choose({}, &loaded);
  EXPECT_FALSE(none.from_file);
  EXPECT_EQ(none.refusal, "");

  for (auto args : {std::initializer_list<const char*>{good.c_str()},
                    std::initializer_list<const char*>{"--image", good.c_str()}}) {
    LoadedImage file;
    const DialogImageChoice choice = choose(args, &file);
    EXPECT_TRUE(choice.from_file);
    EXPECT_EQ(choice.name, "dialog_image.srec");
    EXPECT_EQ(choice.refusal, "");
    EXPECT_EQ(file.load_address, 0x4000u);
    EXPECT_EQ(file.bytes, (std::vector<uint8_t>{0xAA, 0xBB}));
  }

  EXPECT_EQ(choose({bad.c_str()}, &loaded).refusal,
            bad + ": line 1: checksum error (record says 0xB3, its bytes give 0xB2)");
  for (auto args : {std::initializer_list<const char*>{"--image"},
                    std::initializer_list<const char*>{"--bogus"},
                    std::initializer_list<const char*>{"a.hex", "b.hex"},
                    std::initializer_list<const char*>{"--address", "0x4000"}}) {
    const DialogImageChoice choice = choose(args, &loaded);
    EXPECT_FALSE(choice.from_file);
    EXPECT_EQ(choice.refusal, "usage: orvaload [--release-key KEYFILE] [FILE | --image FILE]");
  }
  std::remove(good.c_str());
  std::remove(bad.c_str());
}

// A key pair made here, and a file's detached signature by it.
struct SigningKey {
  EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  ~SigningKey() { EVP_PKEY_free(pkey); }
  void write_public(const std::string& path) const {
    BIO* out = BIO_new_file(path.c_str(), "w");
    PEM_write_bio_PUBKEY(out, pkey);
    BIO_free(out);
  }
  std::string sign(const std::string& data) const {
    std::string signature(64, '\0');
    size_t size = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, pkey);
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                   reinterpret_cast<const unsigned char*>(data.data()), data.size());
    EVP_MD_CTX_free(context);
    return signature;
  }
};

TEST(DialogCommandLine, WithAReleaseKeyOnlyAFileItSignedIsTaken) {
  const std::string dir = ::testing::TempDir();
  const std::string key = dir + "dialog_release.pem", image = dir + "dialog_signed.srec";
  const std::string text = "S1054000AABB55\nS9030000FC\n";
  SigningKey ours, theirs;
  ours.write_public(key);
  std::ofstream(image, std::ios::binary) << text;

  LoadedImage loaded;
  std::ofstream(image + ".sig", std::ios::binary) << ours.sign(text);
  const DialogImageChoice taken = choose({"--release-key", key.c_str(), image.c_str()}, &loaded);
  EXPECT_EQ(taken.refusal, "");
  EXPECT_TRUE(taken.from_file);
  EXPECT_EQ(loaded.bytes, (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_FALSE(choose({"--release-key", key.c_str()}, &loaded).from_file) << "the built-in image";

  std::ofstream(image + ".sig", std::ios::binary) << theirs.sign(text);
  const std::string refused =
      choose({"--release-key", key.c_str(), image.c_str()}, &loaded).refusal;
  EXPECT_EQ(refused.rfind(image + ": its signature does not verify with the release key ", 0), 0u)
      << refused;
  std::remove((image + ".sig").c_str());
  EXPECT_EQ(choose({"--release-key", key.c_str(), "--image", image.c_str()}, &loaded).refusal,
            image + ": no signature " + image +
                ".sig beside it (with --release-key every image is signed)");
  EXPECT_EQ(choose({"--release-key", image.c_str(), image.c_str()}, &loaded).refusal,
            "--release-key " + image +
                ": holds no public key in PEM (make one with: openssl pkey -in KEY -pubout)");
  for (const char* name : {key.c_str(), image.c_str()}) std::remove(name);
}

} // namespace
