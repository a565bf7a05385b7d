// Scratch directories and a process per scenario: the process's logger is
// process-wide, so every end-to-end scenario runs in a forked child that has
// never called the library, inside its own temporary directory.
#ifndef QOLOG_TESTS_SCENARIO_H_
#define QOLOG_TESTS_SCENARIO_H_

#include <time.h>

#include <functional>
#include <string>
#include <vector>

namespace qtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  void write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
std::vector<std::string> listDir(const std::string &path);  // sorted, no "." or ".."

// Runs `body` in a forked child whose working directory is `dir` and whose
// standard error goes to dir/stderr.txt. Returns the child's exit status:
// 0 when the body returned, 1 after a failed CHILD_CHECK, 128+n after
// signal n.
int runInChild(const std::string &dir, const std::function<void()> &body);
[[noreturn]] void childFail(const char *file, int line, const char *what);

// runInChild in a fresh scratch directory holding `cfg` as qotrace.cfg, with
// TZ=UTC, the fake clock at `now` and two minutes to finish; a failed child
// fails the test, one that ends with skipChild() skips it.
constexpr int kSkipped = 77;
[[noreturn]] void skipChild(const std::string &why);  // why the fault can't be made here
void scenario(const std::string &cfg, time_t now, const std::function<void()> &body);

// Checks for a child: each fails it, showing both texts, unless `file` holds
// exactly `text`, `got` equals `expected`, or `dir` holds exactly `names`.
void wantFile(const std::string &file, const std::string &text);
void wantSame(const std::string &what, const std::string &got, const std::string &expected);
void wantDir(const std::string &dir, std::vector<std::string> names);

// A write lock on `path` (created when missing) as another process would take
// it, held until exit: false when someone else holds one.
bool lockAsOther(const std::string &path);
// Root becomes uid 65534, owning the working directory: false when that fails.
bool dropRoot();
// Moves the modification time of `path` to `seconds`.
bool setMtime(const std::string &path, time_t seconds);

}  // namespace qtest

#define CHILD_CHECK(cond) \
  do { \
    if (!(cond)) ::qtest::childFail(__FILE__, __LINE__, #cond); \
  } while (0)

#endif  // QOLOG_TESTS_SCENARIO_H_
