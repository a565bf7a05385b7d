// main() of every contender program: scratch directory, warm-up, timing.
#include "harness.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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

void runMessages(int first, int count) {
  for (int i = first; i < first + count; ++i) peerMessage(i);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s S1|S2|S3|S4 MESSAGES\n", argv[0]);
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
    printf("%s %s n/a\n", peerName(), scenario.c_str());
    return 0;
  }
  runMessages(0, messages / 10 < 2000 ? messages / 10 : 2000);  // warm-up

  double start = 0, end = 0;
  if (scenario == "S3") {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    auto worker = [&](int first, int count) {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      runMessages(first, count);
    };
    std::thread a(worker, 0, messages / 2);
    std::thread b(worker, messages / 2, messages - messages / 2);
    while (ready.load() < 2) {
    }
    start = nowNs();
    go.store(true);
    a.join();
    b.join();
    end = nowNs();
  } else {
    start = nowNs();
    runMessages(0, messages);
    end = nowNs();
  }
  peerFinish();
  printf("%s %s %.1f\n", peerName(), scenario.c_str(), (end - start) / messages);
  return 0;
}
