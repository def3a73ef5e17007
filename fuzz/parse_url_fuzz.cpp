// THttpClient::ParseURL on the URLs a redirect can hand it. The first two bytes are the
// port the client had before, the rest is the URL.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "http/http_client.h"

namespace {

THttpClient* Client() {
  static int argc = 1;
  static char name[] = "parse_url_fuzz";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  static THttpClient client;
  return &client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  THttpClient& c = *Client();
  c.Host = "configured";
  c.Port = data[0] << 8 | data[1];
  c.URL.assign(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string url = c.URL;
  try {
    c.ParseURL();
  } catch (const Exception&) {
    return 0;
  }
  FUZZ_CHECK(c.Port >= 0 && c.Port <= 65535);
  FUZZ_CHECK(!c.Host.empty());
  FUZZ_CHECK(c.Host.find('/') == std::string::npos && c.Host.find(':') == std::string::npos);
  const std::string& path = c.RequestPath();
  FUZZ_CHECK(!path.empty() && path.size() <= 256 && path[0] == '/');
  FUZZ_CHECK(c.URL == url || c.URL == url + "/");
  return 0;
}
