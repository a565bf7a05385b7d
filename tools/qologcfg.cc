// qologcfg: reads a qotrace.cfg with the library's own parser and tells what
// it made of every line, then the modules and files that result.
//
//   qologcfg [FILE]     FILE defaults to ./qotrace.cfg, else /etc/qotrace.cfg
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/cfg_parser.h"
#include "config/trace_cfg.h"

namespace {

const char *eventText(qolog::CfgEvent e) {
  switch (e) {
    case qolog::CfgEvent::kSectionDefault: return "section DEFAULT (globals and defaults)";
    case qolog::CfgEvent::kSectionModule: return "section added";
    case qolog::CfgEvent::kSectionSkipped: return "section ignored: only the first [DEFAULT] counts";
    case qolog::CfgEvent::kSectionDropped: return "section dropped: the module table is full";
    case qolog::CfgEvent::kHeaderMalformed: return "malformed header: the rest of the file is not read";
    case qolog::CfgEvent::kKeyTaken: return "taken";
    case qolog::CfgEvent::kKeyRejected: return "rejected, the value keeps its default";
    case qolog::CfgEvent::kKeyRepeated: return "repeated: only the first occurrence in a section counts";
    case qolog::CfgEvent::kLineIgnored: return "ignored: no key of this section";
  }
  return "?";
}

void onReport(void *, const qolog::CfgReport &r) {
  if (r.key == nullptr && r.event != qolog::CfgEvent::kLineIgnored) {
    printf("%s\n    -> %s\n", r.line, eventText(r.event));
  } else if (r.key != nullptr) {
    printf("  %-44s %s %s\n", r.line, r.key, eventText(r.event));
  } else {
    printf("  %-44s %s\n", r.line, eventText(r.event));
  }
}

std::string levelWords(uint32_t mask) {
  static const struct { uint32_t bit; const char *name; } kBits[] = {
      {1, "ERROR"}, {2, "INFO"}, {4, "DEBUG"}, {8, "FUNCBEG"}, {16, "FUNCEND"}, {32, "PROCINFO"}};
  std::string out;
  for (const auto &b : kBits) {
    if (mask & b.bit) out += out.empty() ? b.name : std::string(",") + b.name;
  }
  return out.empty() ? "NONE" : out;
}

bool readWhole(const char *path, std::string *text) {
  FILE *f = fopen(path, "rbe");
  if (f == nullptr) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text->append(buf, n);
  bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))) {
    fprintf(stderr, "usage: qologcfg [FILE]\n");
    return 2;
  }
  std::string text;
  const char *path = argc == 2 ? argv[1] : "qotrace.cfg";
  if (!readWhole(path, &text)) {
    if (argc == 2 || !readWhole(path = "/etc/qotrace.cfg", &text)) {
      fprintf(stderr, "qologcfg: cannot read %s\n", argc == 2 ? argv[1] : "qotrace.cfg or /etc/qotrace.cfg");
      return 1;
    }
  }
  auto *cfg = static_cast<qolog::TraceCfg *>(calloc(1, sizeof(qolog::TraceCfg)));
  if (cfg == nullptr) return 1;
  printf("%s, line by line (the DEFAULT section is read first):\n\n", path);
  qolog::CfgReporter reporter{onReport, nullptr};
  if (!qolog::parseTraceCfgText(*cfg, text.data(), text.size(), &reporter)) {
    fprintf(stderr, "qologcfg: out of memory\n");
    return 1;
  }
  printf("\nreload period %u minutes; unconfigured module names %s\n", cfg->nReloadPeriod,
         cfg->nEnableTraces == 1 ? "write under DEFAULT" : "are dropped");
  printf("\n%-34s %-40s %-12s %-8s %s\n", "module", "levels", "max size", "backups", "file");
  for (const qolog::ModuleCfg &m : cfg->asModules) {
    if (m.nUsed != 1) continue;
    const char *file = qolog::getModuleFileName(*cfg, &m);
    printf("%-34s %-40s %-12lld %-8d %s\n", m.szName[0] ? m.szName : "(empty name)",
           levelWords(m.nDebugLevel).c_str(), static_cast<long long>(m.nMaxFileSize),
           m.nMaxFileBackups, file == nullptr ? "(none: messages dropped)"
                              : file[0] == '\0' ? "(empty path: messages dropped)" : file);
  }
  free(cfg);
  return 0;
}
