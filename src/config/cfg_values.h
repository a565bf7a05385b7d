// The value parsers of the configuration keys, used by the parser. Each
// takes the whole normalised line and returns kNone when it changed the
// field, else why it left the field alone.
#ifndef QOLOG_CONFIG_CFG_VALUES_H_
#define QOLOG_CONFIG_CFG_VALUES_H_

#include <stdint.h>

#include "config/cfg_parser.h"
#include "config/trace_cfg.h"

namespace qolog {

CfgReason setDebugLevel(const char *line, uint32_t *mask);
CfgReason setLogFileName(TraceCfg &cfg, const char *line, ModuleCfg *module);
CfgReason setMaxFileSize(const char *line, int64_t *size);
CfgReason setMaxFileBackups(const char *line, int32_t *count);
CfgReason setReloadPeriod(const char *line, uint32_t *minutes);
CfgReason setEnableTraces(const char *line, int32_t *flag);

}  // namespace qolog

#endif  // QOLOG_CONFIG_CFG_VALUES_H_
