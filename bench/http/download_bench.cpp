// Downloads a 64 MiB body over loopback into a file with THttpClient and with curl, in
// alternating rounds of the same run, and prints throughput and CPU time of each and their
// ratios (medians over the rounds). The server is lighttpd serving a static file.
//
//   http_download_bench [rounds]      (default 5)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "lighttpd_server.h"

namespace {

constexpr uint64_t kBodySize = 64ull * 1024 * 1024;

struct Sample {
  double seconds = 0;  // wall time
  double cpu = 0;      // user + system
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

double SelfCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t FileSize(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

Sample ClientRound(const std::string& url, const std::string& out) {
  THttpClient client;
  client.TimeOut = 30000;
  client.InputFileMode = true;
  client.Body = out;
  const double wall = Now();
  const double cpu = SelfCpu();
  client.Get(url);
  return {Now() - wall, SelfCpu() - cpu};
}

Sample CurlRound(const std::string& url, const std::string& out) {
  const char* argv[] = {TR_CURL, "-s", "--http1.0", "-o", out.c_str(), url.c_str(), nullptr};
  const double wall = Now();
  pid_t pid = -1;
  if (::posix_spawn(&pid, TR_CURL, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::fprintf(stderr, "cannot start curl\n");
    std::exit(1);
  }
  int status = 0;
  rusage u{};
  ::wait4(pid, &status, 0, &u);
  return {Now() - wall, Seconds(u.ru_utime) + Seconds(u.ru_stime)};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  char pattern[] = "/tmp/http_download_bench.XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  {
    std::ofstream body(root + "/body.bin", std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (uint64_t offset = 0; offset < kBodySize; offset += chunk.size()) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((offset + i) * 7);
      body.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }
  int result = 0;
  {
    http_test::LighttpdServer server(TR_LIGHTTPD, root, "");
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/body.bin";
    const std::string out = root + "/download.bin";

    ClientRound(url, out);  // warm the page cache and the server
    CurlRound(url, out);
    std::vector<double> ourWall, ourCpu, curlWall, curlCpu;
    for (int i = 0; i < rounds; ++i) {
      const Sample ours = ClientRound(url, out);
      if (FileSize(out) != kBodySize) {
        std::fprintf(stderr, "client: wrong size %llu\n",
                     static_cast<unsigned long long>(FileSize(out)));
        result = 1;
      }
      const Sample theirs = CurlRound(url, out);
      if (FileSize(out) != kBodySize) {
        std::fprintf(stderr, "curl: wrong size\n");
        result = 1;
      }
      ourWall.push_back(ours.seconds);
      ourCpu.push_back(ours.cpu);
      curlWall.push_back(theirs.seconds);
      curlCpu.push_back(theirs.cpu);
    }
    const double mib = static_cast<double>(kBodySize) / (1024 * 1024);
    const double ourRate = mib / Median(ourWall), curlRate = mib / Median(curlWall);
    std::printf("64 MiB over loopback into a file, median of %d rounds\n", rounds);
    std::printf("%-12s %12s %12s %12s\n", "client", "MiB/s", "wall s", "CPU s");
    std::printf("%-12s %12.0f %12.3f %12.3f\n", "THttpClient", ourRate, Median(ourWall),
                Median(ourCpu));
    std::printf("%-12s %12.0f %12.3f %12.3f\n", "curl", curlRate, Median(curlWall),
                Median(curlCpu));
    std::printf("throughput ratio (ours / curl): %.2f   (target >= 0.90)\n", ourRate / curlRate);
    std::printf("CPU time ratio   (ours / curl): %.2f   (target <= 1.50)\n",
                Median(ourCpu) / Median(curlCpu));
  }
  (void)!std::system(("rm -rf '" + root + "'").c_str());
  return result;
}
