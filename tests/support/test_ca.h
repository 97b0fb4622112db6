// A certificate authority of a test's own, made with openssl in a folder of
// the test's: certificates for names and addresses it chooses, each with its
// key (its owner's alone), for the servers and clients a test starts.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"

class TestCa {
public:
  explicit TestCa(std::string dir) : dir_(std::move(dir)) {}
  ~TestCa() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Makes the folder and the CA (`name` its common name); "" or what failed.
  std::string prepare(const std::string& name = "orva-test-ca") {
    std::filesystem::create_directories(dir_);
    return run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
               "-subj /CN=" +
               name + " -keyout ca.key -out ca.pem 2>/dev/null");
  }

  // FILE.pem and FILE.key in the folder: a certificate for `host` (a name,
  // and with `address` 127.0.0.1 as its address too) signed by this CA; ""
  // or what failed.
  std::string issue(const std::string& file, const std::string& host = "localhost",
                    bool address = true) {
    const std::string names = "DNS:" + host + (address ? ",IP:127.0.0.1" : "");
    return run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" +
               host + " -keyout " + file + ".key -out " + file +
               ".csr 2>/dev/null; printf 'subjectAltName=" + names + "\\n' > " + file +
               ".cnf; openssl x509 -req -in " + file +
               ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile " + file +
               ".cnf -out " + file + ".pem 2>/dev/null");
  }

  std::string dir() const { return dir_; }
  std::string cafile() const { return dir_ + "/ca.pem"; }
  std::string cert(const std::string& file) const { return dir_ + "/" + file + ".pem"; }
  std::string key(const std::string& file) const { return dir_ + "/" + file + ".key"; }

private:
  std::string run(const std::string& commands) {
    ChildProcess make;
    if (!make.start({"/bin/sh", "-c", "set -e; cd '" + dir_ + "'; umask 077; " + commands})) {
      return "cannot run /bin/sh";
    }
    return make.finish(60) == 0 ? "" : "openssl failed: " + make.err();
  }

  const std::string dir_;
};
