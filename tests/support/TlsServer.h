#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"

namespace orvanel::testing {

inline int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

inline bool Connectable(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return ok;
}

// A fresh self-signed ECDSA certificate for localhost, made with the openssl command.
inline bool MakeCertificate(const std::string& key, const std::string& cert) {
  return RunProgram(
             {"/bin/sh", "-c",
              "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
                  key + "' -out '" + cert +
                  "' -days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost "
                  "2>/dev/null"})
             .status == 0;
}

// A server program started in the background (standard streams on /dev/null), waited for
// until its port takes connections, and stopped by its own process id.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  void Start(const std::vector<std::string>& argv, int port) {
    port_ = port;
    pid_ = StartInBackground(argv, {}, /*null_input=*/true);
    for (int i = 0; i < 300 && !Connectable(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool ok() const { return pid_ > 0 && Connectable(port_); }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// A TLS server for localhost whose certificate nobody trusts unless told to: openssl
// s_server with a fresh self-signed certificate (cert() names it). One connection at a
// time, one answer each: a page telling whether the connection's TLS session was "New"
// or "Reused".
class TlsServer {
 public:
  explicit TlsServer(const std::string& dir) : cert_(dir + "/cert.pem") {
    const std::string key = dir + "/key.pem";
    if (!MakeCertificate(key, cert_)) return;
    const int port = FreePort();
    server_.Start({"/usr/bin/openssl", "s_server", "-accept", std::to_string(port), "-cert", cert_,
                   "-key", key, "-www", "-quiet"},
                  port);
  }

  bool ok() const { return server_.ok(); }
  int port() const { return server_.port(); }
  std::string Url(const std::string& path = "/") const {
    return "https://localhost:" + std::to_string(port()) + path;
  }
  const std::string& cert() const { return cert_; }

 private:
  std::string cert_;
  ServerProcess server_;
};

}  // namespace orvanel::testing
