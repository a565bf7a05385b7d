// qolog-check --explain: follows one call the way the writer does.
#include "check/check.h"
#include "config/module_lookup.h"

namespace check {

using qolog::ModuleCfg;

namespace {

// The module step: which module takes the message, and why.
std::string moduleWhy(const Check &c, const std::string &name, bool current) {
  std::string why = quoted(name) + " is not a module";
  char stored[qolog::kModuleNameSize] = {};
  qolog::copyModuleName(stored, qolog::kModuleNameMax, name.c_str());
  const ModuleCfg *same = qolog::findUsedModuleByName(*c.cfg, stored);
  if (current || same == nullptr) return why + ": no module of that name is in the table";
  // Module sections fill the table from slot 1 in file order.
  size_t n = static_cast<size_t>(same - c.cfg->asModules) - 1;
  std::string section = n < c.modules.size() ? "the section [" + c.modules[n].rawName +
                                                   "] (line " +
                                                   std::to_string(c.modules[n].headerLine) + ")"
                                             : "the section";
  return why + ": names are compared exactly and " + section + " is stored as " + quoted(stored);
}

// The file step, once the message has passed the module, level and output
// tests: can the file be opened, and where do the lines go if not.
void fileStep(const Check &c, const ModuleCfg &m, uint32_t level, Explanation &e) {
  Reach r = c.slotReach(m.nFileIndex);
  std::string shown = visible(e.file);
  if (!r.opens) {
    e.fileError = r.why;
    e.steps.push_back(Step{"file", false, "not written: " + shown + " cannot be opened: " + r.why});
    std::string where;
    if (r.regular && r.perProcessOpens) {
      e.instead = r.perProcess;
      where = "the lines go to " + visible(r.perProcess) +
              " (the per-process name), and from then on every module's file is opened "
              "under such a name";
    } else {
      where = "nowhere: " + (!r.regular ? "a path that is not a regular file gets no "
                                          "per-process name"
                             : "the per-process name " + visible(r.perProcess) +
                                   " cannot be created either" +
                                   (r.perProcessWhy == r.why ? "" : ": " + r.perProcessWhy));
    }
    if (m.nOutput & QOLOG_OUT_STDERR) where += "; standard error still gets the line";
    e.steps.push_back(Step{"instead", r.regular && r.perProcessOpens, where});
    e.result = "not written: " + shown + " cannot be opened: " + r.why +
               (e.instead.empty() ? "; the line goes to no file"
                                  : "; it goes to " + visible(e.instead) + " instead");
    return;
  }
  std::string note = "written to " + shown;
  if (!r.regular) {
    note += " (" + r.what + ": no lock, never rolled" +
            (r.what == "a FIFO" ? "; only while a process reads it, else the line is dropped)"
                                : ")");
  } else {
    note += " (or, when another process holds its lock, to the per-process name in the same "
            "directory)";
  }
  if (!r.link.empty()) {
    note += "; it is a symbolic link to " + visible(r.link) +
            ", which a privileged process does not follow (it writes nothing)";
  }
  if (r.regular && !c.tagging.empty()) {
    note += "; once a message tries " + visible(join(c.tagging, " or ")) +
            ", which cannot be opened, this file too is opened under a per-process name";
  }
  if (level == QOLOG_PROCINFO) note += "; PROCINFO alone: the line is the text without a prefix";
  e.steps.push_back(Step{"file", true, note});
  e.written = true;
  e.result = "written to " + shown;
}

}  // namespace

// Follows a message the way the writer does: module lookup (exact), the
// DEFAULT stand-in, the level and output tests, then the module's file slot.
Explanation explain(const Check &c, const std::string &name, bool current, uint32_t level) {
  qolog::TraceCfg &cfg = *c.cfg;
  Explanation e;
  std::string levelWords = join(levelNames(level), "|");
  std::string levelArg = std::to_string(level) + (levelWords.empty() ? "" : " = " + levelWords);
  e.call = current ? "qologTrace(" + levelArg + ", ...) with current module " + quoted(name)
                   : "qologLog(" + quoted(name) + ", " + levelArg + ", ...)";
  e.result = "not written";
  auto fail = [&](const char *check, const std::string &text) {
    e.steps.push_back(Step{check, false, text});
    return e;
  };
  if (!c.found) return fail("configuration", "no configuration is loaded: nothing is written");
  // The verdicts are the writer's (resolveModule, levelPasses); the steps
  // only tell which of their conditions decided.
  const char *printed = nullptr;
  qolog::ModuleIndex index;
  ModuleCfg *m = qolog::resolveModule(cfg, index, name.c_str(), nullptr, &printed);
  e.fallback = m != nullptr && m != qolog::findUsedModuleByName(cfg, name.c_str());
  if (m != nullptr && !e.fallback) {
    e.steps.push_back(Step{"module", true, quoted(name) + " is a configured module"});
  } else if (m == nullptr) {
    return fail("module", moduleWhy(c, name, current) +
                              "; the DEFAULT fallback is off (ENABLETRACES), so the message "
                              "is dropped");
  } else {
    e.steps.push_back(Step{"module", true,
                           moduleWhy(c, name, current) +
                               "; ENABLETRACES is on, so DEFAULT stands in (the line shows " +
                               quoted(name) + ")"});
  }
  e.module = m->szName;
  bool passes = qolog::levelPasses(*m, level);
  uint32_t missing = level & ~m->nDebugLevel;
  if (!passes && missing != 0) {
    std::string lacks = join(levelNames(missing), " ");
    if (missing & ~QOLOG_ALL) {
      lacks += (lacks.empty() ? "" : " and ") + std::string("bits above PROCINFO (") +
               std::to_string(QOLOG_PROCINFO) + "), which no mask has";
    }
    return fail("level", quoted(e.module) + "'s mask " + levelText(m->nDebugLevel) + " lacks " +
                             lacks + ": dropped");
  }
  if (!passes && (level & QOLOG_ALL) == 0) {
    return fail("level", "the level has none of the " +
                             std::to_string(levelNames(QOLOG_ALL).size()) +
                             " level bits: dropped");
  }
  e.steps.push_back(Step{"level", true,
                         "every bit of the level is in " + quoted(e.module) + "'s mask " +
                             levelText(m->nDebugLevel)});
  if (!passes) return fail("output", "the module has no output: dropped");
  std::vector<std::string> outputs;
  if (m->nOutput & QOLOG_OUT_FILE) outputs.push_back("log file");
  if (m->nOutput & QOLOG_OUT_STDERR) outputs.push_back("standard error");
  e.steps.push_back(Step{"output", true, "outputs: " + join(outputs, ", ") +
                                             " (qologSetOutput can add standard error)"});
  const qolog::LogFile *slot = qolog::moduleFileSlot(cfg, m);
  if (slot == nullptr) {
    return fail("file", e.fallback || e.module == qolog::kDefaultModuleName
                            ? "DEFAULT's file slot 0 is not taken by any path: dropped"
                            : quoted(e.module) + " has no LOGFILENAME: dropped (not even "
                                                 "standard error is written)");
  }
  if (slot->szName[0] == '\0') {
    return fail("file", "the log file path is empty: no file is opened, nothing is written");
  }
  e.file = slot->szName;
  fileStep(c, *m, level, e);
  return e;
}

}  // namespace check
