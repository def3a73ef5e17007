// Runs lighttpd (the Debian package) on a loopback socket bound to port 0 by us and handed
// to it by socket activation, so no port is fixed or raced for. Used by the test against a
// real web server and by the download benchmark.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace http_test {

class LighttpdServer {
 public:
  // Serves `root`; `extraConfig` is appended to the generated configuration.
  LighttpdServer(const std::string& lighttpd, const std::string& root,
                 const std::string& extraConfig);
  ~LighttpdServer();
  LighttpdServer(const LighttpdServer&) = delete;
  LighttpdServer& operator=(const LighttpdServer&) = delete;

  uint16_t port() const { return Port_; }
  bool running() const { return Pid_ > 0; }

 private:
  uint16_t Port_ = 0;
  pid_t Pid_ = -1;
};

}  // namespace http_test
