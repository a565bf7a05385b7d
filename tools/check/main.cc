// qolog-check: the command line and the exit status.
#include <stdio.h>

#include <string>
#include <vector>

#include "check/check.h"

namespace {

const char kUsage[] =
    "usage: qolog-check [--json] [--strict] [FILE]\n"
    "       qolog-check [--json] [--strict] --explain MODULE LEVEL [FILE]\n"
    "       qolog-check [--json] [--strict] --explain --current NAME LEVEL [FILE]\n"
    "\n"
    "Reads a qotrace.cfg with libqolog's own parser and prints the configuration\n"
    "it yields (globals, then every module in table order), followed by every\n"
    "line that did something surprising or nothing at all, and every log file\n"
    "that the user running it could not open (relative paths from the current\n"
    "directory).\n"
    "Without FILE the file is found as the library finds it: the file named by\n"
    "QOTRACE_CFG when that is set (and no other), else ./qotrace.cfg, else\n"
    "/etc/qotrace.cfg (a privileged process reads only the latter).\n"
    "\n"
    "  --explain MODULE LEVEL  tell whether qologLog(MODULE, LEVEL, ...) would be\n"
    "                          written, where, and if not, why\n"
    "  --current NAME          with --explain, in place of MODULE: explain\n"
    "                          qologTrace(LEVEL, ...) after qologSetModuleName(NAME)\n"
    "  LEVEL                   a number (4, 0x3) or level words (DEBUG, ERROR|INFO)\n"
    "  --json                  write the result as one JSON object\n"
    "  --strict                exit with status 1 when there is any warning\n"
    "\n"
    "Exit status without --explain: 0 the file loads; 1 it loads with warnings\n"
    "and --strict was given; 2 no configuration would be used, the first header\n"
    "is malformed (nothing is configured), or the command line is wrong.\n"
    "With --explain: 0 the call is written to every output it asks for; 1 it is\n"
    "written nowhere or only partly, or --strict was given and there are\n"
    "warnings; 2 no configuration would be used, or the command line is wrong.\n";

int usage(const char *message) {
  if (message != nullptr) fprintf(stderr, "qolog-check: %s\n", message);
  fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  bool json = false, strict = false, explainMode = false, current = false;
  std::string currentName;
  std::vector<const char *> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--strict") {
      strict = true;
    } else if (a == "--explain") {
      explainMode = true;
    } else if (a == "--current") {
      if (++i == argc) return usage("--current needs a NAME");
      current = true;
      currentName = argv[i];
    } else if (a == "--") {
      for (++i; i < argc; ++i) args.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      return usage(("unknown option " + a).c_str());
    } else {
      args.push_back(argv[i]);
    }
  }
  if (current && !explainMode) return usage("--current goes with --explain");
  size_t need = explainMode ? (current ? 1 : 2) : 0;
  if (args.size() < need || args.size() > need + 1) return usage(nullptr);
  uint32_t level = 0;
  if (explainMode && !check::parseLevel(args[need - 1], &level)) {
    return usage("LEVEL is a number or level words");
  }

  check::Check c;
  c.load(args.size() > need ? args[need] : nullptr);
  int warned = strict && !c.diags.empty() ? 1 : 0;

  if (!explainMode) {
    if (json) {
      printf("%s\n", check::json(c).c_str());
    } else {
      check::printText(c);
    }
    return !c.found || c.malformed ? 2 : warned;
  }
  std::string name = current ? currentName : args[0];
  if (current) {
    // qologSetModuleName stores the name upper-cased and cut.
    char stored[qolog::kModuleNameSize] = {};
    qolog::copyModuleName(stored, qolog::kModuleNameMax, name.c_str());
    name = stored;
  }
  check::Explanation e = check::explain(c, name, current, level);
  if (json) {
    printf("%s\n", check::explanationJson(c, e, name, current, level).c_str());
  } else {
    check::printExplanation(c, e);
  }
  return !c.found ? 2 : e.written ? warned : 1;
}
