// qolog-check: level words, in the configuration (what each word of a
// DEBUGLEVEL line did) and on the command line.
#include <errno.h>
#include <stdlib.h>

#include <algorithm>

#include "check/check.h"

namespace check {

namespace {

size_t editDistance(const std::string &a, const std::string &b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The level word nearest to `word` (any case), or "" when none is close.
std::string nearestLevelWord(const std::string &word) {
  std::string best;
  size_t bestDistance = 3;  // at most two letters off
  for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
    size_t d = editDistance(upper(word), qolog::kCfgLevelWords[i].word);
    if (d < bestDistance) {
      best = qolog::kCfgLevelWords[i].word;
      bestDistance = d;
    }
  }
  return best;
}

}  // namespace

// Parses a level given on the command line: a number, or level words (any
// case, optional QOLOG_ prefix) joined by ',', '|', '+' or spaces.
bool parseLevel(const char *arg, uint32_t *level) {
  char *end = nullptr;
  errno = 0;
  unsigned long n = strtoul(arg, &end, 0);
  if (end != arg && *end == '\0' && errno == 0 && n <= UINT32_MAX && arg[0] != '-') {
    *level = static_cast<uint32_t>(n);
    return true;
  }
  std::vector<std::string> ws = words(arg);
  if (ws.empty()) return false;
  uint32_t bits = 0;
  for (std::string w : ws) {
    w = upper(w);
    if (w.compare(0, 6, "QOLOG_") == 0) w = w.substr(6);
    bool known = false;
    for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
      if (w == qolog::kCfgLevelWords[i].word) {
        bits |= qolog::kCfgLevelWords[i].bits;
        known = true;
      }
    }
    if (!known) return false;
  }
  *level = bits;
  return true;
}

// A level word counts wherever it occurs, so tell where it was found when it
// is not a word of its own, which words were skipped for their case, and
// which are no level word at all.
void Check::levelWordNotes(uint32_t line, const std::string &text, const std::string &keyPart,
                           bool rejected) {
  std::vector<std::string> ws = words(text);
  bool none = text.find("NONE") != std::string::npos;
  int matches = 0;
  for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
    const std::string word = qolog::kCfgLevelWords[i].word;
    size_t at = text.find(word);
    if (at == std::string::npos) continue;
    ++matches;
    // With NONE present, where the other words were found makes no difference.
    bool isNone = qolog::kCfgLevelWords[i].bits == 0;
    if (none && !isNone) continue;
    if (std::find(ws.begin(), ws.end(), word) != ws.end()) continue;
    std::string inside;
    for (const std::string &w : ws) {
      if (w.find(word) != std::string::npos) {
        inside = w;
        break;
      }
    }
    bool inKey = at < keyPart.size() && keyPart.find(word) != std::string::npos;
    std::string effect = isNone ? "empties the mask"
                                : "adds " + join(levelNames(qolog::kCfgLevelWords[i].bits), " ");
    warn(line, "level-word-inside-word",
         word + " is found inside " + (inKey ? "the key " : "") + quoted(inside) + " and " +
             effect + (inKey && word == "DEBUG" ? " (write the key as DebugLevel to avoid it)" : ""));
  }
  if (none && matches > 1) {
    warn(line, "none-empties-mask", "NONE empties the mask: the other level words have no effect");
  }
  size_t eq = text.find('=');
  std::vector<std::string> values = eq == std::string::npos ? std::vector<std::string>()
                                                            : words(text.substr(eq + 1));
  for (const std::string &w : values) {
    bool holdsWord = false, otherCase = false;
    for (size_t i = 0; i < qolog::kCfgLevelWordCount; ++i) {
      holdsWord = holdsWord || w.find(qolog::kCfgLevelWords[i].word) != std::string::npos;
      otherCase = otherCase || upper(w) == qolog::kCfgLevelWords[i].word;
    }
    if (otherCase && w != upper(w)) {
      warn(line, "level-word-case",
           quoted(w) + " is not a level word: level words are written in capitals" +
               (rejected ? "" : "; it was skipped"));
    } else if (!holdsWord) {
      std::string nearest = nearestLevelWord(w);
      warn(line, "unknown-level-word",
           quoted(w) + " is not a level word and is ignored" +
               (nearest.empty() ? "" : ": did you mean " + nearest + "?"));
    }
  }
}

}  // namespace check
