// The configuration text parser: turns the text of a configuration file into
// a TraceCfg without touching the file system or the process-wide record.
// The library runs it silently; tools pass a reporter to explain each line.
#ifndef QOLOG_CONFIG_CFG_PARSER_H_
#define QOLOG_CONFIG_CFG_PARSER_H_

#include <stddef.h>
#include <stdint.h>

#include "config/trace_cfg.h"

namespace qolog {

constexpr size_t kCfgLineMax = 1023;  // characters read as one line

enum class CfgEvent {
  kSectionDefault,    // header of the DEFAULT section read by the first pass
  kSectionModule,     // a module section was added to the table
  kSectionSkipped,    // a DEFAULT section after the first, or any DEFAULT header in the second pass
  kSectionDropped,    // more module sections than the table holds
  kHeaderMalformed,   // a header line without '[' ... ']': parsing stops here
  kKeyTaken,          // key recognised and its value applied
  kKeyRejected,       // key recognised, value unusable: the field is unchanged
  kKeyRepeated,       // key already seen in this section: line skipped
  kLineIgnored,       // no key word for this kind of section
};

struct CfgReport {
  CfgEvent event;
  const char *line;     // the normalised line
  const char *section;  // upper-cased section name ("" for [])
  const char *key;      // the key recognised, or null
};

struct CfgReporter {
  void (*report)(void *context, const CfgReport &report);
  void *context;
};

// Bytes needed by keepCfgLines for a text of `len` bytes.
size_t cfgLinesCapacity(size_t len);

// Splits `text` into lines as a line reader with a 1024-byte buffer would
// (a longer physical line becomes several), normalises each (comment cut at
// ';'; spaces, CR, LF and double quotes removed) and appends the non-empty
// ones to `out`, each followed by a zero byte. Returns the bytes used.
size_t keepCfgLines(const char *text, size_t len, char *out);

// Normalises one line in place; returns its new length.
size_t normalizeCfgLine(char *line);

// Resets `cfg` (closing its streams) and rebuilds it from kept lines.
void rebuildTraceCfg(TraceCfg &cfg, const char *lines, size_t len,
                     const CfgReporter *reporter);

// keepCfgLines + rebuildTraceCfg. Returns false, leaving `cfg` untouched,
// when the line buffer cannot be allocated.
bool parseTraceCfgText(TraceCfg &cfg, const char *text, size_t len,
                       const CfgReporter *reporter);

// The reset before a rebuild: closes every stream, restores the defaults of
// the globals and of module slots 0..127 and frees file slots 1..127. File
// slot 0 keeps its path, count and flags.
void resetTraceCfg(TraceCfg &cfg);

// Value parsers. Each takes the whole normalised line and returns true when
// it changed the field.
bool setDebugLevel(const char *line, uint32_t *mask);
bool setLogFileName(TraceCfg &cfg, const char *line, ModuleCfg *module);
bool setMaxFileSize(const char *line, int64_t *size);
bool setMaxFileBackups(const char *line, int32_t *count);
bool setReloadPeriod(const char *line, uint32_t *minutes);
bool setEnableTraces(const char *line, int32_t *flag);

void removeChar(char *text, char c);

}  // namespace qolog

#endif  // QOLOG_CONFIG_CFG_PARSER_H_
