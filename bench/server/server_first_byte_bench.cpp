// How soon a speech answer starts: milliseconds from the request to the first byte, to
// the first 3840 bytes of the body (what the reader needs before it starts playing) and
// to the whole answer, for pages of 50, 500 and 3000 words, cold (nothing cached) and
// warm (cached), at loopback speed and over a link of 1 Mbit/s. The reference beside each
// row, measured in the same run, is curl fetching the same page's speech in another voice
// (so it is cold too when ours is): its time to the first byte and to the whole answer.
//
// Usage: server_first_byte_bench [--server PATH] [--client-paced] [--words 50,500,3000]
//   --server PATH    the server to measure (default: the one built beside this program)
//   --client-paced   make the slow link by reading slowly (for servers without
//                    --throttle); by default the server is started with --throttle 125000
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sample_prose.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;

constexpr long kSlowLink = 125000;  // bytes a second: 1 Mbit/s

struct CurlFigures {
  double firstByteMs = -1, wholeMs = -1;
  long bytes = 0;
};

CurlFigures curl(int port, const std::string& query, long limitRate) {
  std::string command =
      "curl -s -0 -o /dev/null -u wqwqw:wqwqw -H 'Vorbu: wqwqw' -w '%{time_starttransfer} "
      "%{time_total} %{size_download}' ";
  if (limitRate > 0) command += "--limit-rate " + std::to_string(limitRate) + " ";
  command += "'http://127.0.0.1:" + std::to_string(port) + "/cgi-bin/tx.cgi?" + query + "'";
  CurlFigures f;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return f;
  double first = 0, whole = 0;
  if (std::fscanf(p, "%lf %lf %ld", &first, &whole, &f.bytes) == 3) {
    f.firstByteMs = first * 1000;
    f.wholeMs = whole * 1000;
  }
  ::pclose(p);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::string server = TR_SERVER_EXECUTABLE;
  bool clientPaced = false;
  std::vector<size_t> lengths = {50, 500, 3000};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--server" && i + 1 < argc) {
      server = argv[++i];
    } else if (a == "--client-paced") {
      clientPaced = true;
    } else if (a == "--words" && i + 1 < argc) {
      lengths.clear();
      std::istringstream in(argv[++i]);
      for (std::string n; std::getline(in, n, ',');) lengths.push_back(std::stoul(n));
    } else {
      std::fprintf(stderr, "usage: %s [--server PATH] [--client-paced] [--words 50,500,3000]\n",
                   argv[0]);
      return 2;
    }
  }

  std::string root = makeTempDir();
  fs::create_directory(root + "/pages");
  for (size_t i = 0; i < lengths.size(); ++i)
    writeFile(root + "/pages/0" + std::to_string(i + 1) + ".txt",
              SampleProse(TR_SERVER_SAMPLE_PAGES, lengths[i]));
  const std::vector<std::string> auth = {basicLine("wqwqw", "wqwqw"), vorbuLine("wqwqw")};

  std::printf("server first-byte benchmark: %s\n", server.c_str());
  std::printf(
      "the reader starts playing once 3840 bytes have arrived; times in ms from the request\n");
  std::printf("%-9s %6s %5s %11s %11s %10s %10s | %15s %10s\n", "link", "words", "cache",
              "first byte", "3840 bytes", "whole", "bytes", "curl first byte", "curl whole");
  int failures = 0;
  for (long link : {0L, kSlowLink}) {
    std::vector<std::string> args = {"--pages", root + "/pages", "--cache",
                                     root + "/cache-" + std::to_string(link)};
    if (link && !clientPaced) {
      args.push_back("--throttle");
      args.push_back(std::to_string(link));
    }
    ServerProcess process(server, args);
    if (process.port() == 0) {
      std::fprintf(stderr, "the server did not start:\n%s\n", process.log().c_str());
      removeTree(root);
      return 1;
    }
    const long clientRate = clientPaced ? link : 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
      const std::string q = "q=0" + std::to_string(i + 1) + "&ID=1&w=1";
      for (const char* cache : {"cold", "warm"}) {
        HttpAnswer a = process.get("/cgi-bin/tx.cgi?s=2&v=0&" + q, auth, 600000, clientRate);
        CurlFigures c = curl(process.port(), "s=2&v=1&" + q, clientRate);
        if (!a.ok || a.status != 200) ++failures;
        std::printf("%-9s %6zu %5s %11.0f %11.0f %10.0f %10zu | %15.0f %10.0f\n",
                    link ? "1 Mbit/s" : "loopback", lengths[i], cache, a.firstByteMs, a.body3840Ms,
                    a.endMs, a.body.size(), c.firstByteMs, c.wholeMs);
        std::fflush(stdout);
      }
    }
  }
  std::printf("target for the reader: first sound within 300 ms at loopback, 500 ms at 1 Mbit/s\n");
  removeTree(root);
  if (failures) std::fprintf(stderr, "%d answers were not complete\n", failures);
  return failures ? 1 : 0;
}
