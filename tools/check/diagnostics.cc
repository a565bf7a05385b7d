// qolog-check: the warnings of each line, from the parser's reports.
#include <string.h>

#include <algorithm>

#include "check/check.h"

namespace check {

using qolog::CfgEvent;
using qolog::CfgReason;

namespace {

std::string reasonText(CfgReason reason, const char *key) {
  bool period = strcmp(key, "RELOADPERIOD") == 0;
  switch (reason) {
    case CfgReason::kNone: return "";
    case CfgReason::kNoDigit: return "no digit in the line";
    case CfgReason::kZero: return "the number is 0";
    case CfgReason::kUnitLowerCase:
      return period ? "unit in lower case: only H and M count"
                    : "unit in lower case: only MB and KB count";
    case CfgReason::kNoUnit:
      return period ? "no H or M after the number" : "no MB or KB after the number";
    case CfgReason::kNoLevelWord: return "no level word (they are case-sensitive)";
    case CfgReason::kNoOnOff: return "neither ON nor OFF in the line (case-sensitive)";
    case CfgReason::kNoEquals: return "no '=' before the path";
    case CfgReason::kPathTooLong:
      return "the path is longer than " + std::to_string(qolog::kPathMax) + " characters";
    case CfgReason::kNoFileSlot:
      return "all " + std::to_string(qolog::kMaxFiles) + " file slots are taken";
  }
  return "";
}

const char *reasonId(CfgReason reason) {
  switch (reason) {
    case CfgReason::kNone: return "";
    case CfgReason::kNoDigit: return "no-digit";
    case CfgReason::kZero: return "zero";
    case CfgReason::kUnitLowerCase: return "unit-lower-case";
    case CfgReason::kNoUnit: return "missing-unit";
    case CfgReason::kNoLevelWord: return "no-level-word";
    case CfgReason::kNoOnOff: return "no-on-off";
    case CfgReason::kNoEquals: return "no-equals";
    case CfgReason::kPathTooLong: return "path-too-long";
    case CfgReason::kNoFileSlot: return "no-file-slot";
  }
  return "";
}

std::string trim(const std::string &s, const char *chars) {
  size_t from = s.find_first_not_of(chars);
  if (from == std::string::npos) return "";
  return s.substr(from, s.find_last_not_of(chars) - from + 1);
}

}  // namespace

void Check::sectionNotes(uint32_t line, const qolog::CfgReport &r, bool isModule) {
  std::string raw(r.rawName, r.rawNameLen);
  sectionRaw_ = raw;
  if (r.extraText) {
    warn(line, "header-extra-text", "text outside the brackets of the header is ignored");
  }
  if (r.rawNameLen > static_cast<size_t>(qolog::kModuleNameMax)) {
    warn(line, "name-cut",
         "the section name has " + std::to_string(r.rawNameLen) + " characters: only the first " +
             std::to_string(qolog::kModuleNameMax) + " are kept, stored as " + quoted(r.section));
  }
  if (!isModule) return;
  if (raw.substr(0, qolog::kModuleNameMax) != r.section) {
    warn(line, "name-case",
         "[" + raw + "] is stored as " + quoted(r.section) + ": qologLog(" + quoted(raw) +
             ", ...) does not reach it (names are compared exactly); qologLog(" +
             quoted(r.section) + ", ...) and qologTrace after qologSetModuleName(" +
             quoted(raw) + ") do");
  }
  auto seen = sectionLines_.find(r.section);
  if (seen != sectionLines_.end()) {
    warn(line, "duplicate-section",
         "[" + std::string(r.section) + "] repeats the section of line " +
             std::to_string(seen->second) +
             ": only the first is reachable (this one still takes a module slot)");
  } else {
    sectionLines_[r.section] = line;
  }
}

// A path is used as the normalised line has it: tell when that differs from
// what the line shows.
void Check::pathNotes(uint32_t line, const std::string &used) {
  std::string raw = lineText(line, true);
  if (raw.size() > qolog::kCfgLineMax || raw.find('=') == std::string::npos) return;
  std::string written = raw.substr(0, raw.find(';'));
  written = trim(written.substr(written.find('=') + 1), " ");
  if (written.find('\t') != std::string::npos) {
    warn(line, "path-tab",
         "the path holds a tab, which is kept (only spaces and double quotes are removed): "
         "the file is " + quoted(visible(used)) + "; remove the tab");
  }
  if (written.size() >= 2 && written.front() == '"' && written.back() == '"') {
    written = written.substr(1, written.size() - 2);
  }
  if (written != used) {
    warn(line, "path-rewritten",
         "the path is written " + quoted(visible(written)) + " and used as " +
             quoted(visible(used)) + ": spaces and double quotes are removed");
  }
}

void Check::report(const qolog::CfgReport &r) {
  uint32_t line = lineOf(r.line);
  std::string text = r.line;
  std::string key = r.key != nullptr ? r.key : "";
  switch (r.event) {
    case CfgEvent::kSectionDefault:
      section_ = qolog::kDefaultModuleName;
      keyLines_.clear();
      defaultLine = line;
      sectionNotes(line, r, false);
      return;
    case CfgEvent::kSectionModule:
      section_ = r.section;
      keyLines_.clear();
      modules.push_back(ModuleInfo{line, std::string(r.rawName, r.rawNameLen)});
      sectionNotes(line, r, true);
      return;
    case CfgEvent::kSectionSkipped:
      warn(line, "section-dropped",
           "a second [DEFAULT] is ignored with all its lines: only the first counts");
      return;
    case CfgEvent::kSectionDropped:
      section_ = r.section;
      sectionRaw_ = std::string(r.rawName, r.rawNameLen);
      keyLines_.clear();
      warn(line, "section-dropped",
           "[" + std::string(r.section) + "] is dropped: the module table holds DEFAULT and " +
               std::to_string(qolog::kMaxModules - 1) + " modules");
      return;
    case CfgEvent::kHeaderMalformed:
      malformed = true;
      warn(line, "malformed-header",
           "a malformed header (a file must start with [NAME], and every line starting with '[' "
           "is a header): nothing is configured, DEFAULT has no file and no module section "
           "is read, so nothing is written");
      return;
    case CfgEvent::kHeaderMalformedLater:
      warn(line, "malformed-header",
           "a line starting with '[' without ']' after it: this and every later section "
           "are dropped");
      return;
    case CfgEvent::kKeyRepeated:
      warn(line, "key-repeated",
           key + " was already given at line " + std::to_string(keyLines_[key]) +
               " of this section: only the first occurrence counts, this line is ignored");
      return;
    case CfgEvent::kKeyWrongSection:
      warn(line, "key-not-in-section", key + " is read only in [DEFAULT]: ignored here");
      return;
    case CfgEvent::kLineIgnored: {
      // Only a line whose first character is '[' is a header.
      size_t open = text.find('[');
      if (open != std::string::npos && text.find(']', open) != std::string::npos) {
        std::string before = text.substr(0, open);
        warn(line, "not-a-header",
             (trim(before, "\t\v\f").empty() ? std::string("a tab stands before '['")
                                             : "text stands before '[': " + quoted(visible(before))) +
                 ", so the line is not a header: no section starts here and the lines "
                 "after it still belong to [" + sectionRaw_ + "]");
      } else {
        warn(line, "no-key", "no key word of this section: the line is ignored");
      }
      return;
    }
    case CfgEvent::kKeyTaken:
    case CfgEvent::kKeyRejected:
      break;
  }
  keyLines_[key] = line;
  keyNotes(line, r);
}

void Check::keyNotes(uint32_t line, const qolog::CfgReport &r) {
  std::string text = r.line;
  std::string key = r.key;
  std::string keyText = text.substr(0, text.find('='));
  if (upper(trim(keyText, "\t")) != key) {
    warn(line, "key-inside-word",
         "read as " + key + ", found inside " + quoted(visible(keyText)) +
             " (key words are found anywhere before '=')");
  }
  bool rejected = r.event == CfgEvent::kKeyRejected;
  if (rejected) {
    warn(line, "value-rejected",
         key + " value not taken, " + reasonText(r.reason, r.key) + ": the value stays " +
             (section_ == qolog::kDefaultModuleName ? "at its default" : "as [DEFAULT] set it"),
         reasonId(r.reason));
  }
  if (key == "DEBUGLEVEL") levelWordNotes(line, text, keyText, rejected);
  if (key == "ENABLETRACES" && !rejected) {
    std::vector<std::string> ws = words(text);
    if (text.find("ON") != std::string::npos &&
        std::find(ws.begin(), ws.end(), "ON") == ws.end()) {
      warn(line, "on-inside-word", "ON is found inside another word: traces are turned on");
    }
  }
  if (key == "LOGFILENAME" && !rejected) {
    if (section_ == qolog::kDefaultModuleName) defaultHasFile_ = true;
    std::string used = text.substr(text.find('=') + 1);
    if (used.empty()) {
      warn(line, "empty-path", "the path is empty: no file is opened, nothing is written");
    } else {
      pathLines_.emplace(used, line);
      pathNotes(line, used);
    }
  }
}

}  // namespace check
