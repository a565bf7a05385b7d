// Hexadecimal dumps after a message line, checked byte for byte.
#include <ctype.h>

#include "expect_lines.h"
#include "qolog.h"

using namespace qexp;

namespace {

const char kCfg[] = "[DEFAULT]\nLOGFILENAME=a.log\n";
const std::string kHelloRow =
    "0000 4865 6C6C 6F" + std::string(38, ' ') + " [Hello" + std::string(15, ' ') + "]\n";

// Rows of 20 bytes: "%04d " offset, hexadecimal pairs padded to 50 columns,
// " [", the printable column padded to 20, "]".
std::string referenceDump(const std::string &d) {
  std::string s;
  char b[24];
  for (size_t row = 0; row < d.size(); row += 20) {
    std::string hex, chars;
    for (size_t i = row; i < d.size() && i < row + 20; ++i) {
      snprintf(b, sizeof(b), i % 2 ? "%02X " : "%02X", static_cast<unsigned char>(d[i]));
      hex += b;
      chars += isprint(static_cast<unsigned char>(d[i])) ? d[i] : '.';
    }
    snprintf(b, sizeof(b), "%04zu ", row);
    hex.resize(50, ' ');
    chars.resize(20, ' ');
    s += b + hex + " [" + chars + "]\n";
  }
  return s;
}

TEST(HexDump, Rows) {
  scenario(kCfg, [] {
    qologSetModuleName("default");
    qologTraceBin(QOLOG_INFO, "Hello", 5, "hello");
    const unsigned char mixed[] = {0x00, 0x1F, ' ', 'A', '~', 0x7F, 0x80, 0xFF, 0x09, 'z'};
    qologTraceBin(QOLOG_ERROR, mixed, sizeof(mixed), "mixed");
    std::string w = banner("DEFAULT") + line("DEFAULT", "INFO", "hello") + kHelloRow +
                    line("DEFAULT", "ERR", "mixed") + "0000 001F 2041 7E7F 80FF 097A " +
                    std::string(25, ' ') + " [.. A~....z" + std::string(10, ' ') + "]\n";
    for (int len : {1, 19, 20, 21, 39, 40, 41, 256, 10000, 10001}) {
      std::string data(len, '\0');
      for (int i = 0; i < len; ++i) data[i] = static_cast<char>(len == 256 ? i : i * 37 + 11);
      qologLogBin("DEFAULT", QOLOG_INFO, data.data(), len, "dump %d", len);
      w += line("DEFAULT", "INFO", "dump " + std::to_string(len)) + referenceDump(data);
    }
    wantFile("a.log", w);
  });
}

TEST(HexDump, WhatIsNotWritten) {
  scenario(kCfg, [] {
    qologSetModuleName("default");
    qologTraceBin(QOLOG_INFO, "abc", 0, "no bytes");
    qologTraceBin(QOLOG_DEBUG, "abc", 3, "level not enabled");
    qologLogBin("UNKNOWN", QOLOG_INFO, "abc", 3, "no such module");
    CHILD_CHECK(access("a.log", F_OK) != 0);
    qologTraceBin(QOLOG_INFO, "abc", -1, "negative");  // the line alone
    qologSetOutput(QOLOG_OUT_STDERR);
    qologTraceBin(QOLOG_INFO, "abc", 3, "stderr only");
    qologSetOutput(QOLOG_OUT_FILE);
    qologTraceBin(QOLOG_INFO, "abc", 3, "file");
    qologTraceBin(QOLOG_INFO, nullptr, 3, "null data");
    wantFile("a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "negative") +
                      line("DEFAULT", "INFO", "file") + referenceDump("abc"));
    wantFile("stderr.txt", line("DEFAULT", "INFO", "stderr only"));
  });
}

TEST(HexDump, LineOverTheLimitRollsBeforeTheDump) {
  scenario("[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n", [] {
    const std::string big(1100, 'b');
    qologLogBin("DEFAULT", QOLOG_INFO, "Hello", 5, "%s", big.c_str());
    qologLog("DEFAULT", QOLOG_INFO, "next");
    wantFile("a.log.1", banner("DEFAULT") + line("DEFAULT", "INFO", big));
    wantFile("a.log", kHelloRow + banner("DEFAULT") + line("DEFAULT", "INFO", "next"));
  });
}

}  // namespace
