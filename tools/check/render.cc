// qolog-check: the text and JSON output.
#include <stdio.h>

#include "check/check.h"

namespace check {

using qolog::ModuleCfg;

namespace {

std::string sizeText(int64_t bytes) {
  std::string out = std::to_string(bytes) + " bytes";
  if (bytes > 0 && bytes % 1048576 == 0) return out + " (" + std::to_string(bytes / 1048576) + " MB)";
  if (bytes > 0 && bytes % 1024 == 0) return out + " (" + std::to_string(bytes / 1024) + " KB)";
  return out;
}

std::string outputsOf(uint32_t output) {
  std::vector<std::string> out;
  if (output & QOLOG_OUT_FILE) out.push_back("log file");
  if (output & QOLOG_OUT_STDERR) out.push_back("standard error");
  return out.empty() ? "none" : join(out, ", ");
}

}  // namespace

void printText(const Check &c) {
  printf("configuration: %s (%s)\n", visible(c.path).c_str(), c.where.c_str());
  if (!c.found) return;
  const qolog::TraceCfg &cfg = *c.cfg;
  printf("reload period: %s\n", plural(cfg.nReloadPeriod, "minute").c_str());
  printf("unconfigured module names: %s\n",
         cfg.nEnableTraces == 1 ? "written under DEFAULT (ENABLETRACES is on)"
                                : "dropped (ENABLETRACES is off)");
  printf("\nmodules, in table order:\n");
  for (int i = 0; i < qolog::kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    if (m.nUsed != 1) continue;
    const char *file = qolog::getModuleFileName(*c.cfg, &m);
    std::vector<std::string> shared = slotUsers(cfg, m.nFileIndex, i);
    printf("  [%d] %s\n", i, m.szName[0] != '\0' ? quoted(m.szName).c_str() : "\"\" (empty name)");
    printf("      levels   %s\n", levelText(m.nDebugLevel).c_str());
    if (file == nullptr) {
      printf("      file     none: messages are dropped\n");
    } else {
      printf("      file     %s%s\n",
             file[0] != '\0' ? visible(file).c_str() : "(empty path: nothing is written)",
             shared.empty() ? "" : (" (shared with " + join(shared, ", ") + ")").c_str());
    }
    printf("      rolls at %s, keeps %d backups\n", sizeText(m.nMaxFileSize).c_str(),
           m.nMaxFileBackups);
    printf("      outputs  %s\n", outputsOf(m.nOutput).c_str());
  }
  if (c.diags.empty()) {
    printf("\nno warnings\n");
    return;
  }
  printf("\n%s:\n", plural(c.diags.size(), "warning").c_str());
  uint32_t shown = 0;
  for (const Diagnostic &d : c.diags) {
    if (d.line != 0 && d.line != shown) {
      printf("  line %u: %s\n", d.line, visible(c.lineText(d.line)).c_str());
      shown = d.line;
    }
    printf(d.line != 0 ? "      %s\n" : "  %s\n", d.message.c_str());
  }
}

std::string json(const Check &c) {
  std::string out = "{\"file\":" + jsonString(c.path) + ",\"found\":" +
                    (c.found ? "true" : "false") + ",\"where\":" + jsonString(c.where);
  std::string status = !c.found         ? "none"
                       : c.malformed    ? "malformed"
                       : c.diags.empty() ? "ok"
                                         : "warnings";
  out += ",\"status\":" + jsonString(status);
  if (!c.found) return out + "}";
  const qolog::TraceCfg &cfg = *c.cfg;
  out += ",\"reload_period_minutes\":" + std::to_string(cfg.nReloadPeriod);
  out += std::string(",\"default_fallback\":") + (cfg.nEnableTraces == 1 ? "true" : "false");
  out += ",\"modules\":[";
  bool first = true;
  for (int i = 0; i < qolog::kMaxModules; ++i) {
    const ModuleCfg &m = cfg.asModules[i];
    if (m.nUsed != 1) continue;
    const char *file = qolog::getModuleFileName(*c.cfg, &m);
    out += std::string(first ? "" : ",") + "{\"slot\":" + std::to_string(i) +
           ",\"name\":" + jsonString(m.szName) +
           ",\"level_mask\":" + std::to_string(m.nDebugLevel) +
           ",\"levels\":" + jsonStrings(levelNames(m.nDebugLevel)) +
           ",\"file\":" + (file != nullptr ? jsonString(file) : "null") +
           ",\"file_slot\":" + (file != nullptr ? std::to_string(m.nFileIndex) : "null") +
           ",\"shared_with\":" +
           jsonStrings(file != nullptr ? slotUsers(cfg, m.nFileIndex, i)
                                       : std::vector<std::string>()) +
           ",\"max_file_size\":" + std::to_string(m.nMaxFileSize) +
           ",\"max_file_backups\":" + std::to_string(m.nMaxFileBackups) +
           ",\"outputs\":" + jsonStrings(m.nOutput & QOLOG_OUT_FILE ? std::vector<std::string>{"file"}
                                                                    : std::vector<std::string>()) +
           "}";
    first = false;
  }
  out += "],\"warnings\":[";
  for (size_t i = 0; i < c.diags.size(); ++i) {
    const Diagnostic &d = c.diags[i];
    out += std::string(i ? "," : "") + "{\"line\":" + (d.line ? std::to_string(d.line) : "null") +
           ",\"text\":" + (d.line ? jsonString(c.lineText(d.line)) : "null") +
           ",\"kind\":" + jsonString(d.kind) +
           (d.reason.empty() ? "" : ",\"reason\":" + jsonString(d.reason)) +
           ",\"message\":" + jsonString(d.message) + "}";
  }
  return out + "]}";
}

void printExplanation(const Check &c, const Explanation &e) {
  printf("%s\nconfiguration: %s (%s)\n", e.call.c_str(), visible(c.path).c_str(), c.where.c_str());
  for (const Step &s : e.steps) printf("  %-8s %s\n", s.check, s.text.c_str());
  printf("result: %s\n", e.result.c_str());
}

std::string explanationJson(const Check &c, const Explanation &e, const std::string &name,
                            bool current, uint32_t level) {
  auto orNull = [](const std::string &s) { return s.empty() ? "null" : jsonString(s); };
  std::string out = "{\"call\":{\"function\":" + jsonString(current ? "qologTrace" : "qologLog") +
                    ",\"" + (current ? "current_module" : "module") + "\":" + jsonString(name) +
                    ",\"level\":" + std::to_string(level) + "}";
  out += ",\"configuration\":" + json(c);
  out += std::string(",\"written\":") + (e.written ? "true" : "false");
  out += ",\"module\":" + orNull(e.module);
  out += std::string(",\"default_stands_in\":") + (e.fallback ? "true" : "false");
  out += ",\"file\":" + orNull(e.file) + ",\"file_error\":" + orNull(e.fileError) +
         ",\"instead\":" + orNull(e.instead);
  out += ",\"steps\":[";
  for (size_t i = 0; i < e.steps.size(); ++i) {
    out += std::string(i ? "," : "") + "{\"check\":" + jsonString(e.steps[i].check) +
           ",\"passed\":" + (e.steps[i].passed ? "true" : "false") +
           ",\"text\":" + jsonString(e.steps[i].text) + "}";
  }
  return out + "]}";
}

}  // namespace check
