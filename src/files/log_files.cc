// Slots and their files: making a slot ready to write, writing with the
// position kept, letting files go.
#include "files/log_files.h"

#include <errno.h>
#include <string.h>

namespace qolog {

void LogFiles::report(FileEvent event, const char *path, const char *detail, int err) {
  if (reporter_ != nullptr) reporter_->report(reporter_->context, event, path, detail, err);
}

void LogFiles::attach(int slot, int file) {
  slots_[slot].file = file;
  files_[file].users++;
}

void LogFiles::detach(int slot) {
  int file = slots_[slot].file;
  if (file < 0) return;
  slots_[slot].file = -1;
  if (--files_[file].users <= 0) closeFile(files_[file], true);
}

void LogFiles::closeFile(OpenFile &file, bool unlock) {
  if (file.fd >= 0) {
    // Unlocking before the close is explicit: an open file description
    // shared with a child made by fork would keep the lock otherwise.
    if (unlock && file.regular) os::unlock(*os_, file.fd);
    os::closeFd(*os_, file.fd);
  }
  os::closeFd(*os_, file.dirFd);
  file = OpenFile();
}

void LogFiles::release(int file, bool bannersDue) {
  for (OpenLog &log : slots_) {
    if (log.file != file) continue;
    log.file = -1;
    if (bannersDue) log.bannerWritten = false;
  }
  closeFile(files_[file], true);
}

int LogFiles::prepare(TraceCfg &cfg, const ModuleCfg &module) {
  LogFile *entry = moduleFileSlot(cfg, &module);
  if (entry == nullptr) return -1;
  int slot = static_cast<int>(entry - cfg.asFiles);
  OpenLog &log = slots_[slot];
  if (log.serial != entry->nSerial) sync(cfg);
  if (log.file < 0) {
    open(cfg, slot);
    if (log.file < 0) return slot;
  }
  if (files_[log.file].position < 0) {
    // The file is in error (a failed write, a full disk) or has no position
    // (a pipe, a terminal): open it again.
    release(log.file, false);
    open(cfg, slot);
    if (log.file < 0) return slot;
  }
  const OpenFile &file = files_[log.file];
  if (file.rollable && file.position > module.nMaxFileSize) roll(cfg, slot, module);
  return slot;
}

bool LogFiles::fits(int slot, int64_t bytes, int64_t limit) const {
  const OpenFile &file = files_[slots_[slot].file];
  return !file.rollable || (file.position >= 0 && file.position + bytes <= limit);
}

bool LogFiles::write(int slot, const struct iovec *iov, int count) {
  int index = slots_[slot].file;
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  if (index < 0 || total == 0) return true;
  OpenFile &file = files_[index];
  // Pieces that lie end to end go out with write(2), which costs less than
  // writev.
  bool adjacent = true;
  for (int i = 1; i < count && adjacent; ++i) {
    adjacent = static_cast<const char *>(iov[i - 1].iov_base) + iov[i - 1].iov_len == iov[i].iov_base;
  }
  size_t written;
  {
    // A reader going away fails a write to a pipe instead of killing the
    // caller.
    os::SigpipeBlock noSigpipe(!file.regular);
    if (adjacent) {
      written = os::writeAll(*os_, file.fd, iov[0].iov_base, total);
    } else {
      memcpy(pieces_, iov, sizeof(*iov) * static_cast<size_t>(count));
      written = os::writeAllv(*os_, file.fd, pieces_, count);
    }
  }
  if (written == total) {
    if (file.regular && file.position >= 0) file.position += static_cast<int64_t>(total);
    if (slots_[slot].writeFailed) {
      slots_[slot].writeFailed = false;
      report(FileEvent::kWrote, file.path, "", 0);
    }
    return true;
  }
  int err = errno;
  // A write cut short (a full disk) keeps the lines it wrote whole; a part
  // of one, which the next line would be glued to, is taken back while the
  // file still ends with it.
  if (written > 0 && file.regular && file.position >= 0) {
    size_t whole = 0;
    for (size_t end = 0, i = 0; i < static_cast<size_t>(count); ++i) {
      end += iov[i].iov_len;
      if (end > written) break;
      if (iov[i].iov_len > 0 && static_cast<const char *>(iov[i].iov_base)[iov[i].iov_len - 1] == '\n') {
        whole = end;
      }
    }
    struct stat st;
    if (whole < written && os::statFd(*os_, file.fd, &st) == 0 &&
        static_cast<int64_t>(st.st_size) == file.position + static_cast<int64_t>(written)) {
      os::truncateFd(*os_, file.fd, static_cast<off_t>(file.position + static_cast<int64_t>(whole)));
    }
  }
  slots_[slot].writeFailed = true;
  report(FileEvent::kWriteFailed, file.path, written > 0 ? "cut short" : "", err);
  // The next message reopens the file, and starts with a banner again: this
  // write may have been the one that carried it.
  file.position = -1;
  for (OpenLog &log : slots_) {
    if (log.file == index) log.bannerWritten = false;
  }
  return false;
}

void LogFiles::closeAll() {
  for (int i = 0; i < kMaxFiles; ++i) {
    if (files_[i].fd >= 0) release(i, false);
  }
}

void LogFiles::sync(const TraceCfg &cfg) {
  for (int i = 0; i < kMaxFiles; ++i) {
    if (slots_[i].serial == cfg.asFiles[i].nSerial) continue;
    detach(i);
    slots_[i] = OpenLog();
    slots_[i].serial = cfg.asFiles[i].nSerial;
  }
}

void LogFiles::closeReplaced() {
  for (int i = 0; i < kMaxFiles; ++i) {
    const OpenFile &file = files_[i];
    // Devices, pipes and the like are left alone.
    if (file.fd < 0 || !file.regular) continue;
    struct stat named;
    if (os::statAt(*os_, file.dirFd, file.name, &named) == 0) {
      if (static_cast<uint64_t>(named.st_dev) == file.dev &&
          static_cast<uint64_t>(named.st_ino) == file.ino) {
        continue;
      }
    } else if (errno != ENOENT && errno != ENOTDIR) {
      continue;
    }
    report(FileEvent::kReopened, file.path, "", 0);
    release(i, true);
  }
}

void LogFiles::forgetInherited(TraceCfg &cfg) {
  for (OpenFile &file : files_) closeFile(file, false);
  size_t tagLen = strlen(cfg.szPid);
  for (int i = 0; i < kMaxFiles; ++i) {
    slots_[i].file = -1;
    slots_[i].bannerWritten = false;
    LogFile &entry = cfg.asFiles[i];
    if (entry.nUsed != 1 || entry.nPidRenamed != 1 || tagLen == 0) continue;
    // "dir/<tag>-file" or "dir/<tag>.<n>-file" back to "dir/file".
    char *slash = strrchr(entry.szName, '/');
    char *name = slash != nullptr ? slash + 1 : entry.szName;
    char *dash = strchr(name, '-');
    if (strncmp(name, cfg.szPid, tagLen) == 0 && dash != nullptr &&
        (name[tagLen] == '-' || name[tagLen] == '.')) {
      memmove(name, dash + 1, strlen(dash + 1) + 1);
    }
    entry.nPidRenamed = 0;
  }
  cfg.szPid[0] = '\0';
}

}  // namespace qolog
