// Wake-ups (context switches) and CPU time of the threads of a process, read from /proc,
// for the benchmarks of an idle program.
#pragma once

#include <QDir>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>

namespace benchaudio {

struct ThreadCounts {
  std::string name;
  long switches = 0;    // voluntary and involuntary context switches
  long long cpuNs = 0;  // time on a CPU
};

// Every thread of process `pid` ("self" for this one), by thread id.
inline std::map<int, ThreadCounts> ThreadsOf(const std::string& pid) {
  std::map<int, ThreadCounts> out;
  const std::string base = "/proc/" + pid + "/task";
  const QDir tasks(QString::fromStdString(base));
  for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const std::string dir = base + "/" + tid.toStdString();
    ThreadCounts c;
    std::getline(std::ifstream(dir + "/comm"), c.name);
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        c.switches += std::stol(line.substr(line.find(':') + 1));
    }
    std::ifstream(dir + "/schedstat") >> c.cpuNs;
    out[tid.toInt()] = c;
  }
  return out;
}

struct Rates {
  std::map<int, std::string> names;
  std::map<int, double> wakeups;  // per second, by thread
  double totalWakeups = 0;        // per second, the whole process
  double cpuPercent = 0;          // of one core, the whole process
};

// Wake-ups per second and CPU of every thread of `pid` over `seconds`.
inline Rates MeasureRates(const std::string& pid, double seconds) {
  const auto before = ThreadsOf(pid);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto after = ThreadsOf(pid);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Rates r;
  long long cpuNs = 0;
  for (const auto& [tid, c] : after) {
    // A thread that started meanwhile counts from its start; one that ended meanwhile is
    // lost (as SDL's sound thread is when the output closes).
    auto it = before.find(tid);
    const bool old = it != before.end();
    cpuNs += c.cpuNs - (old ? it->second.cpuNs : 0);
    r.names[tid] = c.name;
    r.wakeups[tid] = static_cast<double>(c.switches - (old ? it->second.switches : 0)) / elapsed;
    r.totalWakeups += r.wakeups[tid];
  }
  r.cpuPercent = 100.0 * static_cast<double>(cpuNs) / 1e9 / elapsed;
  return r;
}

}  // namespace benchaudio
