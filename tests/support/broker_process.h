// A Mosquitto broker of a test's own, on free ports of 127.0.0.1: a plain
// listener and a TLS one, both asking for a user and password (made with
// mosquitto_passwd), the TLS one with a certificate for localhost signed by
// a CA the test makes with openssl. Nothing is kept between its starts, so a
// restarted broker holds no retained message until clients publish again.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/test_ca.h"

class BrokerProcess {
public:
  static constexpr const char* USER = "plant";
  static constexpr const char* PASSWORD = "broker-secret-7Qx";

  BrokerProcess() : dir_("/tmp/orva-broker-" + std::to_string(getpid())), ca_(dir_) {}
  ~BrokerProcess() { stop(); }

  // Makes the password file, the CA and the certificate; "" or what failed.
  std::string prepare() {
    std::string failed = ca_.prepare();
    if (failed.empty()) failed = ca_.issue("server");
    if (!failed.empty()) return "making the broker's CA failed: " + failed;
    ChildProcess make;
    if (!make.start({"/usr/bin/mosquitto_passwd", "-c", "-b", dir_ + "/passwd", USER, PASSWORD})) {
      return "cannot run mosquitto_passwd";
    }
    if (make.finish(60) != 0) return "making the broker's files failed: " + make.err();
    plain_port_ = free_port();
    tls_port_ = free_port();
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "per_listener_settings false\nallow_anonymous false\npersistence false\n"
         << "password_file " << dir_ << "/passwd\n"
         << (geteuid() == 0 ? "user root\n" : "") << "listener " << plain_port_ << " 127.0.0.1\n"
         << "listener " << tls_port_ << " 127.0.0.1\n"
         << "cafile " << dir_ << "/ca.pem\ncertfile " << dir_ << "/server.pem\nkeyfile " << dir_
         << "/server.key\n";
    return conf ? "" : "cannot write the broker's configuration";
  }

  // Starts the broker and waits until both listeners take connections.
  bool start() {
    process_ = std::make_unique<ChildProcess>();
    if (!process_->start({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"})) return false;
    for (const double end = monotonic_seconds() + 20; monotonic_seconds() < end; usleep(20000)) {
      if (accepts(plain_port_) && accepts(tls_port_)) return true;
    }
    return false;
  }
  void stop() {
    if (!process_) return;
    process_->send_signal(SIGTERM);
    process_->finish(10);
    process_.reset();
  }

  int plain_port() const { return plain_port_; }
  int tls_port() const { return tls_port_; }
  std::string dir() const { return dir_; }
  std::string cafile() const { return ca_.cafile(); }
  std::string log() const { return process_ ? process_->err() : ""; }

  // A password file for a client of ours, its owner's alone.
  std::string password_file(const std::string& password = PASSWORD) const {
    const std::string path = dir_ + "/client-password";
    std::ofstream(path) << password << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
    return path;
  }

  // mosquitto_sub on the plain listener, printing "TOPIC PAYLOAD" lines.
  bool subscribe(ChildProcess* sub, const std::string& filter) const {
    return sub->start({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p",
                       std::to_string(plain_port_), "-u", USER, "-P", PASSWORD, "-q", "1", "-v",
                       "-t", filter});
  }

private:
  static int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
  }
  static bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
  }

  const std::string dir_;
  TestCa ca_; // the folder is the CA's: it goes with it
  int plain_port_ = 0;
  int tls_port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};
