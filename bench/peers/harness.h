// The common frame of the contender programs: every program runs one
// scenario in a scratch directory of its own and prints one result line.
//
//   peer_NAME SCENARIO MESSAGES   ->   "NAME SCENARIO NS_PER_MESSAGE"
//                                      (S6: "NAME S6-p50 NS" and "NAME S6-p99 NS")
//
// Scenarios, with the same text in every contender ("request %d handled
// for client-42" after a prefix of date with milliseconds, logger name,
// process id, thread id and level, where the logger can print them) and a
// flush to the file after every line:
//   S1  one thread, a message that is written
//   S2  a message at a level the logger drops, 16 loggers configured
//   S3  two threads, one logger and one file (aggregate time per message)
//   S4  as S1, the file rolled at 100 KiB (about 1000 lines), 5 backups
//   S6  four threads as S3: the latency of each call, its median and 99th
//       percentile over all threads' calls
//   S7  as S3 with four threads, S8 with eight (aggregate time per message)
// Every thread writes a few messages before the timing starts.
// A contender that can't run a scenario prints "n/a" instead of a time.
#ifndef QOLOG_PEERS_HARNESS_H_
#define QOLOG_PEERS_HARNESS_H_

#include <stddef.h>
#include <time.h>

#include <string>

// Implemented by each contender program.
const char *peerName();
// Prepares the scenario in the current directory (the scratch directory);
// false when the contender has no such scenario.
bool peerSetup(const std::string &scenario);
// One message: written for S1, S3 and S4, dropped for S2. `i` varies the
// number in the text.
void peerMessage(int i);
// Flushes and closes what peerSetup opened.
void peerFinish();

// Shared by the contenders: libqolog's prefix for the given time and level
// ("Nov  4 18:22:48:048|PEER|PID=  12|TID=  34|INFO|"), its length returned.
size_t peerPrefix(char *out, size_t size, const struct timespec &ts, const char *level);
// The text's values and a six-digit number.
inline int peerNumber(int i) { return 100000 + i % 900000; }
constexpr const char *kPeerClient = "client-42";
// The name of the logger (module) the messages go to.
constexpr const char *kPeerLogger = "PEER";

#endif  // QOLOG_PEERS_HARNESS_H_
