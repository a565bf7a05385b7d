// libFuzzer target: arbitrary bytes as configuration text, parsed twice into
// one record as two reloads of one file would be. After each parse the record
// holds its invariants; what the parser reports (qolog-check prints it)
// points inside the line it reports; each kept line knows the file line it
// came from, in file order.
#include <algorithm>
#include <vector>

#include "config/cfg_parser.h"
#include "store_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace qolog;
  const char *text = reinterpret_cast<const char *>(data);
  std::vector<char> lines(cfgLinesCapacity(size));  // exactly: a write past it shows
  std::vector<CfgLineOrigin> origins(lines.size() / 2 + 1);
  const size_t used = keepCfgLines(text, size, lines.data(), origins.data());
  const uint32_t n = uint32_t(std::count(text, text + size, '\n')) + 1;  // the last line
  for (size_t pos = 0, i = 0; pos < used; pos += strlen(&lines[pos]) + 1, ++i)
    FUZZ_CHECK((i == 0 || origins[i].number >= origins[i - 1].number) && origins[i].number <= n);
  const CfgReporter reporter{[](void *, const CfgReport &r) {
    const size_t len = r.line != nullptr ? strlen(r.line) : 0;
    FUZZ_CHECK(r.section != nullptr && len > 0 && len <= kCfgLineMax &&
               (!r.rawName || (r.rawName > r.line && r.rawName + r.rawNameLen < r.line + len)) &&
               (r.event == CfgEvent::kKeyRejected) == (r.reason != CfgReason::kNone));
  }, nullptr};
  TraceCfg cfg{};
  for (int round = 0; round < 2; ++round) {
    const int slot0 = cfg.asFiles[0].nUsed == 1 ? cfg.asFiles[0].nRefCount : 0;
    FUZZ_CHECK(parseTraceCfgText(cfg, text, size, round == 0 ? &reporter : nullptr));
    checkStore(cfg, slot0, true, "");
  }
  return 0;
}
