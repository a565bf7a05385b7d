// Everything the library keeps between calls, in one object: the
// configuration store and its companions, the open log files and the
// formatting caches. The process holds one behind the entry points' lock;
// tools and tests build their own.
#ifndef QOLOG_PIPELINE_STATE_H_
#define QOLOG_PIPELINE_STATE_H_

#include "config/cfg_loader.h"
#include "config/module_lookup.h"
#include "config/trace_cfg.h"
#include "files/log_files.h"
#include "format/dump_rows.h"
#include "format/line_text.h"
#include "format/timestamp.h"
#include "pipeline/diagnostics.h"
#include "os/os.h"

namespace qolog {

struct State {
  explicit State(const os::Os &os = os::system()) : files(os) {}

  TraceCfg cfg = {};
  // The current module name: upper case, at most 33 characters.
  char szModuleName[kModuleNameSize] = {};
  CfgWatch watch;
  ModuleIndex modules;
  LogFiles files;
  Diagnostics diag;
  TimeText time;
  ThreadIdText ids;
  DumpRows dump;
  // Dump rows are formatted here and go out in one write up to its size.
  char dumpBuf[65536];
  // The writer of a batch of lines: the lines laid end to end, and the
  // pieces (a line each) of the next write to a file and to standard error.
  struct Scratch {
    static constexpr int kPieces = LogFiles::kMaxPieces;
    static constexpr size_t kTextSize = 32768;
    char text[kTextSize];
    struct iovec file[kPieces];
    struct iovec err[kPieces];
  } scratch;
};

}  // namespace qolog

#endif  // QOLOG_PIPELINE_STATE_H_
