/* A small program that traces from two modules and two threads, with a
 * message below the configured threshold and a hexadecimal dump. Run it in a
 * directory holding qotrace.cfg (see examples/qotrace.cfg). */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "qolog.h"

static void *worker(void *arg) {
  const char *name = (const char *)arg;
  for (int i = 0; i < 3; ++i) {
    qologLog("NETWORK", QOLOG_INFO, "%s: packet %d received", name, i);
  }
  return NULL;
}

int main(void) {
  qologSetModuleName("app");
  qologTrace(QOLOG_FUNCBEG, "main");
  qologTrace(QOLOG_INFO, "demo started, %d worker threads", 2);
  qologTrace(QOLOG_DEBUG, "this DEBUG line is below APP's level: not written");

  pthread_t t1, t2;
  pthread_create(&t1, NULL, worker, (void *)"worker-1");
  pthread_create(&t2, NULL, worker, (void *)"worker-2");
  pthread_join(t1, NULL);
  pthread_join(t2, NULL);

  const char packet[] = "GET /index.html HTTP/1.1\r\nHost: example\r\n\r\n";
  qologLogBin("NETWORK", QOLOG_DEBUG, packet, (int32_t)strlen(packet),
              "request of %d bytes", (int)strlen(packet));
  qologLog("NETWORK", QOLOG_ERROR, "connection reset by %s", "peer");
  qologTrace(QOLOG_PROCINFO, "a PROCINFO line is written without a prefix");
  qologLog("unknown", QOLOG_ERROR, "a module that is not configured: "
           "written under DEFAULT because ENABLETRACES=ON");
  qologTrace(QOLOG_FUNCEND, "main");
  return 0;
}
