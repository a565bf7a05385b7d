// log4c: a category with the rollingfile appender (which flushes every
// line) and a layout of our own that prints qolog's prefix from the event's
// time. The sizewin policy rolls at 100 KiB for S4 (6 files: the current
// one and 5 backups), at 1000 MiB otherwise. Its file is peer.log.0.
#include <log4c.h>
#include <log4c/appender_type_rollingfile.h>
#include <log4c/rollingpolicy_type_sizewin.h>
#include <stdio.h>

#include <string>

#include "harness.h"

namespace {

log4c_category_t *g_category = nullptr;
int g_priority = LOG4C_PRIORITY_INFO;

const char *formatLine(const log4c_layout_t *, const log4c_logging_event_t *e) {
  struct timespec ts;
  ts.tv_sec = e->evt_timestamp.tv_sec;
  ts.tv_nsec = e->evt_timestamp.tv_usec * 1000L;
  char *out = e->evt_buffer.buf_data;
  size_t size = e->evt_buffer.buf_size;
  size_t n = peerPrefix(out, size, ts, log4c_priority_to_string(e->evt_priority));
  snprintf(out + n, size - n, "%s\n", e->evt_msg);
  return out;
}

const log4c_layout_type_t kLayout = {"qolog_prefix", formatLine};

}  // namespace

const char *peerName() { return "log4c"; }

bool peerSetup(const std::string &scenario) {
  if (log4c_init() != 0) return false;
  log4c_layout_t *layout = log4c_layout_get("peer");
  log4c_layout_set_type(layout, &kLayout);
  rollingfile_udata_t *files = rollingfile_make_udata();
  rollingfile_udata_set_logdir(files, ".");
  rollingfile_udata_set_files_prefix(files, "peer.log");
  rollingpolicy_sizewin_udata_t *size = sizewin_make_udata();
  sizewin_udata_set_file_maxsize(size, scenario == "S4" ? 100 * 1024 : 1000L * 1024 * 1024);
  sizewin_udata_set_max_num_files(size, 6);
  log4c_rollingpolicy_t *policy = log4c_rollingpolicy_get("peer");
  log4c_rollingpolicy_set_type(policy, &log4c_rollingpolicy_type_sizewin);
  log4c_rollingpolicy_set_udata(policy, size);
  rollingfile_udata_set_policy(files, policy);
  log4c_appender_t *app = log4c_appender_get("peer.log");
  log4c_appender_set_type(app, &log4c_appender_type_rollingfile);
  log4c_appender_set_udata(app, files);
  log4c_appender_set_layout(app, layout);
  g_category = log4c_category_get(kPeerLogger);
  log4c_category_set_appender(g_category, app);
  log4c_category_set_additivity(g_category, 0);
  log4c_category_set_priority(g_category, LOG4C_PRIORITY_INFO);
  if (scenario == "S2") {
    for (int i = 1; i <= 15; ++i) {
      log4c_category_set_priority(log4c_category_get(("M" + std::to_string(i)).c_str()),
                                  LOG4C_PRIORITY_INFO);
    }
  }
  g_priority = scenario == "S2" ? LOG4C_PRIORITY_DEBUG : LOG4C_PRIORITY_INFO;
  return true;
}

void peerMessage(int i) {
  log4c_category_log(g_category, g_priority, "request %d handled for %s", peerNumber(i),
                     kPeerClient);
}

void peerFinish() { log4c_fini(); }
