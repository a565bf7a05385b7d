/* qolog.h - the public interface of libqolog, a tracing library for POSIX
 * processes. Usable from C (C99 and later) and C++.
 *
 * Every function is thread-safe, returns nothing and never reports an error:
 * output that cannot be produced is dropped. What is written, and where, is
 * decided by the configuration file "qotrace.cfg" (current directory, else
 * /etc), which the library loads at the first message and re-reads while the
 * process runs. Without a configuration file nothing is written.
 */
#ifndef QOLOG_H_
#define QOLOG_H_

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define QOLOG_PRINTF(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
#define QOLOG_API __attribute__((visibility("default")))
#else
#define QOLOG_PRINTF(fmt_index, first_arg)
#define QOLOG_API
#endif

#if defined(__cplusplus)
#define QOLOG_NOEXCEPT noexcept
extern "C" {
#else
#define QOLOG_NOEXCEPT
#endif

/* Level bits. A message's level is one or more of them; a module writes a
 * message only when every bit of its level is enabled for the module. */
#define QOLOG_ERROR 1u
#define QOLOG_INFO 2u
#define QOLOG_DEBUG 4u
#define QOLOG_FUNCBEG 8u
#define QOLOG_FUNCEND 16u
#define QOLOG_PROCINFO 32u /* alone: the line is the text, with no prefix */
#define QOLOG_ALL 63u

/* Output bits for qologSetOutput. */
#define QOLOG_OUT_FILE 1u
#define QOLOG_OUT_STDERR 2u

/* Date formats for qologSetDate. */
#define QOLOG_DATE_NONE 0u
#define QOLOG_DATE_CALENDAR 1u /* "Nov  4 18:22:48:048" (local time) */
#define QOLOG_DATE_EPOCH 2u    /* seconds.milliseconds, e.g. "1700000000.5" */

/* Writes a printf-style message at `level` for the current module (see
 * qologSetModuleName). */
QOLOG_API void qologTrace(uint32_t level, const char *format, ...)
    QOLOG_NOEXCEPT QOLOG_PRINTF(2, 3);

/* Writes a printf-style message at `level` for `module`. The name is matched
 * exactly as given against the configured module names, which are stored in
 * upper case; NULL means the current module. */
QOLOG_API void qologLog(const char *module, uint32_t level, const char *format,
                        ...) QOLOG_NOEXCEPT QOLOG_PRINTF(3, 4);

/* Like qologTrace, then appends a hexadecimal dump of `length` bytes at
 * `data` to the module's log file (never to standard error). Nothing at all
 * is written when `data` is NULL or `length` is 0. */
QOLOG_API void qologTraceBin(uint32_t level, const void *data, int32_t length,
                             const char *format, ...) QOLOG_NOEXCEPT
    QOLOG_PRINTF(4, 5);

/* Like qologLog, followed by a hexadecimal dump as for qologTraceBin. */
QOLOG_API void qologLogBin(const char *module, uint32_t level,
                           const void *data, int32_t length,
                           const char *format, ...) QOLOG_NOEXCEPT
    QOLOG_PRINTF(5, 6);

/* Releases the module named exactly `module`, and its log file when no other
 * configured module shares it. Until the configuration file next changes,
 * its messages are dropped (or, with ENABLETRACES=ON, go to DEFAULT). */
QOLOG_API void qologClose(const char *module) QOLOG_NOEXCEPT;

/* Sets the timestamp format of all later lines: 0 none, 1 calendar time with
 * milliseconds, 2 seconds since the epoch with milliseconds. Other values are
 * ignored. Loading the configuration file (at the first message, and again
 * whenever the file changes) sets it back to 1. */
QOLOG_API void qologSetDate(uint32_t format) QOLOG_NOEXCEPT;

/* Moves the current module to the log file `path` (opened at its next
 * message). Only a module that already has a log file can be moved; the
 * change lasts until the configuration file is next loaded. */
QOLOG_API void qologSetFile(const char *path) QOLOG_NOEXCEPT;

/* Sets where the current module writes: a combination of QOLOG_OUT_FILE and
 * QOLOG_OUT_STDERR (other bits are ignored). Lasts until the configuration
 * file is next loaded. */
QOLOG_API void qologSetOutput(uint32_t output) QOLOG_NOEXCEPT;

/* Sets the current module name used by qologTrace, qologTraceBin,
 * qologSetFile and qologSetOutput. It is stored in upper case and cut after
 * 33 characters; NULL leaves it unchanged. */
QOLOG_API void qologSetModuleName(const char *name) QOLOG_NOEXCEPT;

#if defined(__cplusplus)
} /* extern "C" */
#endif

#endif /* QOLOG_H_ */
