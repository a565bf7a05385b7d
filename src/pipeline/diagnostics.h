// Opt-in reports of the library's own problems on standard error
// (QOLOG_DEBUG=1): a line "qolog: ..." per problem, told again only after it
// has cleared. Disabled, nothing is told and nothing is paid.
#ifndef QOLOG_PIPELINE_DIAGNOSTICS_H_
#define QOLOG_PIPELINE_DIAGNOSTICS_H_

#include <stdint.h>

#include "config/cfg_loader.h"
#include "config/trace_cfg.h"
#include "files/log_files.h"
#include "os/os.h"

namespace qolog {

class Diagnostics {
 public:
  void enable(const os::Os &os) { os_ = &os; }
  bool enabled() const { return os_ != nullptr; }
  // What the file layer reports to: null while disabled.
  const FileReporter *fileReporter() const { return enabled() ? &reporter_ : nullptr; }
  // What a configuration check found.
  void configuration(const CfgOutcome &outcome, const CfgWatch &watch, const TraceCfg &cfg);

 private:
  enum Topic { kConfig, kOpen, kFallback, kRoll, kWrite };
  static void onFile(void *self, FileEvent event, const char *path, const char *detail, int err);
  void file(FileEvent event, const char *path, const char *detail, int err);
  // True, the first time, for a problem not told since it last cleared.
  bool first(Topic topic, const char *subject);
  void cleared(Topic topic, const char *subject);
  void say(const char *format, ...) __attribute__((format(printf, 2, 3)));

  const os::Os *os_ = nullptr;
  FileReporter reporter_{onFile, this};
  uint32_t told_[64] = {};  // keys of the problems told and not cleared; 0 free
};

}  // namespace qolog

#endif  // QOLOG_PIPELINE_DIAGNOSTICS_H_
