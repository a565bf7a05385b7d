// libqolog: qologLog to a module with a log file; 16 modules configured.
#include <stdio.h>

#include <string>

#include "harness.h"
#include "qolog.h"

namespace {
unsigned g_level = QOLOG_INFO;
}  // namespace

const char *peerName() { return "qolog"; }

bool peerSetup(const std::string &scenario) {
  FILE *f = fopen("qotrace.cfg", "w");
  if (f == nullptr) return false;
  fprintf(f, "[DEFAULT]\nRELOADPERIOD = 10000H\n");
  for (int i = 1; i <= 15; ++i) fprintf(f, "[M%02d]\nLOGFILENAME = m%02d.log\n", i, i);
  fprintf(f, "[%s]\nLOGFILENAME = peer.log\n", kPeerLogger);
  if (scenario == "S4") {
    fprintf(f, "MAXFILESIZE = 100KB\nMAXFILEBACKUPS = 5\n");
  } else {
    fprintf(f, "MAXFILESIZE = 1000MB\n");
  }
  fclose(f);
  // DEBUG is outside every module's default mask.
  g_level = scenario == "S2" ? QOLOG_DEBUG : QOLOG_INFO;
  return true;
}

void peerMessage(int i) {
  qologLog(kPeerLogger, g_level, "request %d handled for %s", peerNumber(i),
           kPeerClient);
}

void peerFinish() {}
