// The configuration text parser: turns the text of a configuration file into
// a TraceCfg. Pure: no I/O. The library runs it silently; qolog-check passes
// a reporter to explain each line.
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
  kSectionSkipped,    // a DEFAULT section after the first: ignored
  kSectionDropped,    // more module sections than the table holds
  kHeaderMalformed,   // a header without '[' ... ']' met by the first pass:
                      // nothing is configured
  kHeaderMalformedLater,  // met by the second pass: this and every later
                          // section are dropped
  kKeyTaken,          // key recognised and its value applied
  kKeyRejected,       // key recognised, value unusable: the field is unchanged
  kKeyRepeated,       // key already seen in this section: line skipped
  kKeyWrongSection,   // a key of the DEFAULT section in a module section
  kLineIgnored,       // no key word for this kind of section
};

// Why a value was not taken (kNone: it was).
enum class CfgReason {
  kNone,
  kNoDigit,        // a number is needed and the line has no digit
  kZero,           // the number is 0
  kUnitLowerCase,  // the unit is there but not in capitals (mb, kb, h, m)
  kNoUnit,         // no unit after the number
  kNoLevelWord,    // no level word in the line
  kNoOnOff,        // neither ON nor OFF in the line
  kNoEquals,       // LOGFILENAME without '='
  kPathTooLong,    // LOGFILENAME longer than a file slot holds
  kNoFileSlot,     // all file slots are in use
};

struct CfgReport {
  CfgEvent event;
  const char *line;     // the normalised line
  const char *section;  // upper-cased section name ("" for [])
  const char *key;      // the key recognised, or null
  CfgReason reason;     // for kKeyRejected
  // Section events: the name as written between the brackets, and whether
  // the header had text before '[' or after ']'.
  const char *rawName;
  size_t rawNameLen;
  bool extraText;
};

struct CfgReporter {
  void (*report)(void *context, const CfgReport &report);
  void *context;
};

// Where a kept line came from: its line number in the file, counted from 1,
// and whether it is a later piece of a line longer than kCfgLineMax.
struct CfgLineOrigin {
  uint32_t number;
  bool continuation;
};

// The level words in the order they are searched; "NONE", last, empties the
// mask.
struct CfgLevelWord {
  const char *word;
  uint32_t bits;
};
extern const CfgLevelWord kCfgLevelWords[];
extern const size_t kCfgLevelWordCount;

// Bytes needed by keepCfgLines for a text of `len` bytes.
size_t cfgLinesCapacity(size_t len);

// Splits `text` into lines as a line reader with a 1024-byte buffer would
// (a longer physical line becomes several), normalises each (comment cut at
// ';'; spaces, CR, LF and double quotes removed) and appends the non-empty
// ones to `out`, each followed by a zero byte. Returns the bytes used.
// With `origins` (room for one entry per two bytes of cfgLinesCapacity),
// records where each kept line came from.
size_t keepCfgLines(const char *text, size_t len, char *out,
                    CfgLineOrigin *origins = nullptr);

// Resets `cfg` and rebuilds it from kept lines: the DEFAULT section first,
// then one module per further section.
void rebuildTraceCfg(TraceCfg &cfg, const char *lines, size_t len,
                     const CfgReporter *reporter);

// keepCfgLines + rebuildTraceCfg. Returns false, leaving `cfg` untouched,
// when the line buffer cannot be allocated.
bool parseTraceCfgText(TraceCfg &cfg, const char *text, size_t len,
                       const CfgReporter *reporter);

}  // namespace qolog

#endif  // QOLOG_CONFIG_CFG_PARSER_H_
