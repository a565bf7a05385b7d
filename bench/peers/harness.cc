// main() of every contender program: scratch directory, warm-up, timing.
#include "harness.h"

#include <ftw.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_dir;

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void removeDir() {
  if (g_dir.empty()) return;
  if (chdir("/") != 0) {
    // Removal works from anywhere.
  }
  nftw(g_dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  g_dir.clear();
}

double nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

int threadsOf(const std::string &scenario) {
  if (scenario == "S3") return 2;
  if (scenario == "S6" || scenario == "S7") return 4;
  return scenario == "S8" ? 8 : 1;
}

// Messages first..first+count-1; with `latency`, each call's time into it.
void runMessages(int first, int count, uint32_t *latency = nullptr) {
  for (int i = first; i < first + count; ++i) {
    if (latency == nullptr) {
      peerMessage(i);
      continue;
    }
    double t0 = nowNs();
    peerMessage(i);
    latency[i - first] = static_cast<uint32_t>(nowNs() - t0);
  }
}

// `threads` threads share the messages; each writes a few of its own
// first, then all start together. Returns the time of the shared part.
double runThreads(int threads, int messages, std::vector<uint32_t> *latency) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    int first = messages / threads * t;
    int count = t == threads - 1 ? messages - first : messages / threads;
    uint32_t *samples = latency != nullptr ? latency->data() + first : nullptr;
    pool.emplace_back([&, first, count, samples] {
      runMessages(first, 100);
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      runMessages(first, count, samples);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  double start = nowNs();
  go.store(true);
  for (std::thread &t : pool) t.join();
  return nowNs() - start;
}

double percentile(std::vector<uint32_t> &v, double p) {
  auto at = v.begin() + static_cast<long>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), at, v.end());
  return *at;
}

}  // namespace

size_t peerPrefix(char *out, size_t size, const struct timespec &ts, const char *level) {
  static const long pid = static_cast<long>(getpid());
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S", &tm);
  int n = snprintf(out, size, "%s:%03d|%s|PID=%4ld|TID=%4ld|%4s|", stamp,
                   static_cast<int>(ts.tv_nsec / 1000000), kPeerLogger, pid,
                   static_cast<long>(pthread_self()), level);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s S1|S2|S3|S4|S6|S7|S8 MESSAGES\n", argv[0]);
    return 2;
  }
  std::string scenario = argv[1];
  int messages = atoi(argv[2]);
  if (messages <= 0) messages = 100000;

  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qolog-peer-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr || chdir(buf.data()) != 0) {
    perror("qolog peers: scratch directory");
    return 1;
  }
  g_dir = buf.data();
  atexit(removeDir);

  if (!peerSetup(scenario)) {
    if (scenario == "S6") {
      printf("%s S6-p50 n/a\n%s S6-p99 n/a\n", peerName(), peerName());
    } else {
      printf("%s %s n/a\n", peerName(), scenario.c_str());
    }
    return 0;
  }
  runMessages(0, messages / 10 < 2000 ? messages / 10 : 2000);  // warm-up

  int threads = threadsOf(scenario);
  std::vector<uint32_t> latency(scenario == "S6" ? messages : 0);
  double ns = 0;
  if (threads > 1) {
    ns = runThreads(threads, messages, latency.empty() ? nullptr : &latency);
  } else {
    double start = nowNs();
    runMessages(0, messages);
    ns = nowNs() - start;
  }
  peerFinish();
  if (latency.empty()) {
    printf("%s %s %.1f\n", peerName(), scenario.c_str(), ns / messages);
  } else {
    printf("%s %s-p50 %.1f\n", peerName(), scenario.c_str(), percentile(latency, 0.50));
    printf("%s %s-p99 %.1f\n", peerName(), scenario.c_str(), percentile(latency, 0.99));
  }
  return 0;
}
