// Hexadecimal dumps after a message line, checked byte for byte.
#include <ctype.h>

#include <vector>

#include "expect_lines.h"
#include "qolog.h"

using namespace qexp;

namespace {

const char kCfg[] = "[DEFAULT]\nLOGFILENAME=a.log\n";
const std::string kHelloRow =
    "0000 4865 6C6C 6F" + std::string(38, ' ') + " [Hello" + std::string(15, ' ') + "]\n";

std::string printable(const unsigned char *bytes, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
  return s;
}

// The rows written field by field: "%04d " offsets, "%02X" and "%02X " bytes,
// and the padded " [" and "]\n" of the last row.
std::string referenceDump(const unsigned char *d, int len) {
  std::string s;
  char b[64];
  for (int i = 0; i < len; ++i) {
    if (i % 20 == 0) {
      if (i > 0) s += " [" + printable(d + i - 20, 20) + "]";
      snprintf(b, sizeof(b), i == 0 ? "%04d " : "\n%04d ", i);
      s += b;
    }
    snprintf(b, sizeof(b), i % 2 ? "%02X " : "%02X", d[i]);
    s += b;
  }
  int r = len % 20;
  if (r == 0) {
    s += " [" + printable(d + len - 20, 20);
    snprintf(b, sizeof(b), "%2s", "]\n");
  } else {
    snprintf(b, sizeof(b), "%*s", (20 - r) * 2 + (21 - r) / 2 + 2, " [");
    s += b + printable(d + len - r, r);
    snprintf(b, sizeof(b), "%*s", 22 - r, "]\n");
  }
  return s + b;
}

TEST(HexDump, RowsForManyLengths) {
  for (int len : {1, 5, 19, 20, 21, 39, 40, 41, 256, 10000, 10001}) {
    qtest::TempDir dir;
    dir.write("qotrace.cfg", kCfg);
    ASSERT_EQ(0, run(dir, [len] {
      std::vector<unsigned char> data(len);
      for (int i = 0; i < len; ++i) data[i] = static_cast<unsigned char>(len == 256 ? i : i * 37 + 11);
      qologLogBin("DEFAULT", QOLOG_INFO, data.data(), len, "dump %d", len);
      qologLogBin("DEFAULT", QOLOG_ERROR, data.data(), len, "again");
      want("a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "dump " + std::to_string(len)) +
                        referenceDump(data.data(), len) + line("DEFAULT", "ERR", "again") +
                        referenceDump(data.data(), len));
    })) << len;
    expectWanted(dir, "a.log");
    if (len == 10001) {
      EXPECT_NE(dir.read("a.log").find("]\n10000 "), std::string::npos);
    }
  }
}

TEST(HexDump, HelloAndThePrintableColumn) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", kCfg);
  ASSERT_EQ(0, run(dir, [] {
    qologSetModuleName("default");
    qologTraceBin(QOLOG_INFO, "Hello", 5, "hello");
    const unsigned char mixed[] = {0x00, 0x1F, ' ', 'A', '~', 0x7F, 0x80, 0xFF, 0x09, 'z'};
    qologTraceBin(QOLOG_ERROR, mixed, sizeof(mixed), "mixed");
    want("a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "hello") + kHelloRow +
                      line("DEFAULT", "ERR", "mixed") + "0000 001F 2041 7E7F 80FF 097A " +
                      std::string(25, ' ') + " [.. A~....z" + std::string(10, ' ') + "]\n");
  }));
  expectWanted(dir, "a.log");
}

TEST(HexDump, WhatIsNotWritten) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", kCfg);
  ASSERT_EQ(0, run(dir, [] {
    qologSetModuleName("default");
    qologTraceBin(QOLOG_INFO, nullptr, 5, "null data");
    qologTraceBin(QOLOG_INFO, "abc", 0, "no bytes");
    qologLogBin(nullptr, QOLOG_INFO, "abc", 0, "no bytes");
    qologTraceBin(QOLOG_DEBUG, "abc", 3, "level not enabled");
    qologLogBin("UNKNOWN", QOLOG_INFO, "abc", 3, "no such module");
    CHILD_CHECK(access("a.log", F_OK) != 0);
    qologTraceBin(QOLOG_INFO, "abc", -1, "negative");  // the line alone
    qologSetOutput(QOLOG_OUT_STDERR);
    qologTraceBin(QOLOG_INFO, "abc", 3, "stderr only");
    qologSetOutput(QOLOG_OUT_FILE);
    qologTraceBin(QOLOG_INFO, "abc", 3, "file");
    qologTraceBin(QOLOG_INFO, nullptr, 3, "null data");
    want("a.log", banner("DEFAULT") + line("DEFAULT", "INFO", "negative") +
                      line("DEFAULT", "INFO", "file") + "0000 6162 63" +
                      std::string(43, ' ') + " [abc" + std::string(17, ' ') + "]\n");
    want("stderr.txt", line("DEFAULT", "INFO", "stderr only"));
  }));
  expectWanted(dir, "a.log");
  expectWanted(dir, "stderr.txt");
}

TEST(HexDump, LineOverTheLimitRollsBeforeTheDump) {
  qtest::TempDir dir;
  dir.write("qotrace.cfg", "[DEFAULT]\nLOGFILENAME=a.log\nMAXFILESIZE=1KB\n");
  ASSERT_EQ(0, run(dir, [] {
    const std::string big(1100, 'b');
    qologLogBin("DEFAULT", QOLOG_INFO, "Hello", 5, "%s", big.c_str());
    qologLog("DEFAULT", QOLOG_INFO, "next");
    want("a.log.1", banner("DEFAULT") + line("DEFAULT", "INFO", big));
    want("a.log", kHelloRow + banner("DEFAULT") + line("DEFAULT", "INFO", "next"));
  }));
  expectWanted(dir, "a.log.1");
  expectWanted(dir, "a.log");
}

}  // namespace
