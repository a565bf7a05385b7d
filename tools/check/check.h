// qolog-check: explains a qotrace.cfg exactly as the library reads it — the
// configuration that results and every line that did something surprising or
// nothing — and whether a given call would be written, and where. It runs the
// library's own file finder, reader, parser, store, module lookup and level
// test; it has no parser of its own. This header is shared by its parts:
// text helpers (text.cc), finding and reading the file (load.cc), the
// warnings of each line (diagnostics.cc, levels.cc), whether the log files
// can be opened (reach.cc), following one call (explain.cc), the text and
// JSON output (render.cc) and the command line (main.cc).
#ifndef QOLOG_TOOLS_CHECK_CHECK_H_
#define QOLOG_TOOLS_CHECK_CHECK_H_

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/cfg_parser.h"
#include "config/trace_cfg.h"

namespace check {

// --- text.cc ---------------------------------------------------------------
std::vector<std::string> levelNames(uint32_t mask);
std::string join(const std::vector<std::string> &items, const char *sep);
std::string levelText(uint32_t mask);
std::string upper(std::string s);
std::string quoted(const std::string &s);
// Control characters shown as \t, \xNN: a tab in a path is not invisible.
std::string visible(const std::string &s);
std::string jsonString(const std::string &s);
std::string jsonStrings(const std::vector<std::string> &items);
// Runs of letters, digits and underscores.
std::vector<std::string> words(const std::string &s);
std::string plural(size_t n, const char *word);

// --- reach.cc --------------------------------------------------------------
// Whether the running user's process could open a log file path now, as the
// library opens it.
struct Reach {
  bool opens = false;     // the open succeeds (a FIFO: while a reader has it)
  bool regular = true;    // a regular file or none yet: a failed open tags
                          // the process and the per-process name is tried
  std::string what;       // "a FIFO", "a character device", ...: not regular
  std::string link;       // the target when the path is a symbolic link
  std::string why;        // errno words and the cause, when it does not open
  std::string perProcess; // <dir>/<pid>-<file> when the open fails
  bool perProcessOpens = false;
  std::string perProcessWhy;
};
Reach reach(const std::string &path);

// --- load.cc, diagnostics.cc, reach.cc -------------------------------------
struct Diagnostic {
  uint32_t line;  // 0: not tied to one line
  std::string kind;
  std::string message;
  std::string reason;  // for rejected values
};

struct ModuleInfo {
  uint32_t headerLine = 0;
  std::string rawName;
};

// The configuration as the library would build it in a fresh process, with
// what each line did.
class Check {
 public:
  bool load(const char *fileArg);
  // The file's line `number` as written (long lines shortened unless `full`).
  std::string lineText(uint32_t number, bool full = false) const;
  // The reachability of file slot `slot` (computed once per slot).
  Reach slotReach(int slot) const {
    auto it = reaches_.find(slot);
    return it != reaches_.end() ? it->second : reach(cfg->asFiles[slot].szName);
  }

  bool found = false;      // a configuration file would be used
  bool malformed = false;  // the first pass met a malformed header
  std::string path;
  std::string where;       // how the file was found, or why none was
  // A record of its own, zero as at process start: the explanation then
  // asks the writer's own lookup and level test.
  std::unique_ptr<qolog::TraceCfg> cfg{new qolog::TraceCfg()};
  std::vector<Diagnostic> diags;
  std::vector<ModuleInfo> modules;  // module sections in table order (slot 1 up)
  uint32_t defaultLine = 0;
  // Log files whose failed open gives the process per-process names.
  std::vector<std::string> tagging;

 private:
  static void onReport(void *context, const qolog::CfgReport &r) {
    static_cast<Check *>(context)->report(r);
  }
  void report(const qolog::CfgReport &r);
  void parse();
  void afterParse();
  void fileNotes();
  void warn(uint32_t line, const char *kind, const std::string &message,
            const char *reason = "") {
    diags.push_back(Diagnostic{line, kind, message, reason});
  }
  uint32_t lineOf(const char *kept) const;
  void keyNotes(uint32_t line, const qolog::CfgReport &r);
  void levelWordNotes(uint32_t line, const std::string &text, const std::string &keyPart,
                      bool rejected);
  void sectionNotes(uint32_t line, const qolog::CfgReport &r, bool isModule);
  void pathNotes(uint32_t line, const std::string &used);

  std::string text_;
  std::vector<char> kept_;
  std::vector<qolog::CfgLineOrigin> origins_;
  std::vector<size_t> starts_;  // offset of each kept line
  std::string section_;
  std::string sectionRaw_;                          // as written between the brackets
  std::map<std::string, uint32_t> keyLines_;        // first line of each key in the section
  std::map<std::string, uint32_t> sectionLines_;    // first header line of each name
  std::map<std::string, uint32_t> pathLines_;       // first line naming each path
  std::map<int, Reach> reaches_;                    // by file slot
  bool defaultHasFile_ = false;
};

// Names of the modules on file slot `slot` (but module `except`).
std::vector<std::string> slotUsers(const qolog::TraceCfg &cfg, int slot, int except = -1);

// --- levels.cc, explain.cc ------------------------------------------------
bool parseLevel(const char *arg, uint32_t *level);

struct Step {
  const char *check;
  bool passed;
  std::string text;
};

struct Explanation {
  std::string call;
  bool written = false;   // to every output asked for, where configured
  std::string module;     // the module that decides, empty when none
  bool fallback = false;
  std::string file;       // the configured file, when it has one
  std::string fileError;  // why it cannot be opened
  std::string instead;    // where the lines go instead, empty: nowhere
  std::string result;
  std::vector<Step> steps;
};

Explanation explain(const Check &c, const std::string &name, bool current, uint32_t level);

// --- render.cc -------------------------------------------------------------
void printText(const Check &c);
std::string json(const Check &c);
void printExplanation(const Check &c, const Explanation &e);
std::string explanationJson(const Check &c, const Explanation &e, const std::string &name,
                            bool current, uint32_t level);

}  // namespace check

#endif  // QOLOG_TOOLS_CHECK_CHECK_H_
