// Text helpers of qolog-check: level words, quoting, JSON strings.
#include <ctype.h>
#include <stdio.h>

#include "check/check.h"

namespace check {

namespace {

const struct {
  uint32_t bit;
  const char *name;
} kLevelBits[] = {{QOLOG_ERROR, "ERROR"},     {QOLOG_INFO, "INFO"},
                  {QOLOG_DEBUG, "DEBUG"},     {QOLOG_FUNCBEG, "FUNCBEG"},
                  {QOLOG_FUNCEND, "FUNCEND"}, {QOLOG_PROCINFO, "PROCINFO"}};

}  // namespace

std::vector<std::string> levelNames(uint32_t mask) {
  std::vector<std::string> out;
  for (const auto &b : kLevelBits) {
    if (mask & b.bit) out.push_back(b.name);
  }
  return out;
}

std::string join(const std::vector<std::string> &items, const char *sep) {
  std::string out;
  for (const std::string &s : items) out += (out.empty() ? "" : sep) + s;
  return out;
}

std::string levelText(uint32_t mask) {
  std::string names = join(levelNames(mask), " ");
  return std::to_string(mask) + (names.empty() ? " (none)" : " = " + names);
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

std::string visible(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Everything outside printable ASCII is escaped, so the text is valid JSON
// (and valid UTF-8) whatever bytes the configuration holds.
std::string jsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    }
  }
  return out + "\"";
}

std::string jsonStrings(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + jsonString(items[i]);
  return out + "]";
}

std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s + " ") {
    if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
      cur += c;
    } else if (!cur.empty()) {
      out.push_back(cur);
      cur.clear();
    }
  }
  return out;
}

std::string plural(size_t n, const char *word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace check
