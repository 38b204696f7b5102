// Loading and saving .reg files: file I/O and the all-or-nothing import.
#include "registry_regfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace winsim {
namespace {

NTSTATUS IoFailure(RegFileError *error, const std::string &what, const std::string &path) {
  const int err = errno;
  if (error != nullptr) *error = RegFileError{0, what + " " + path + ": " + strerror(err)};
  if (err == ENOENT || err == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
  if (err == EACCES || err == EPERM || err == EROFS) return STATUS_ACCESS_DENIED;
  return STATUS_UNSUCCESSFUL;
}

bool WriteAll(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Writes a uniquely named sibling, syncs it, and renames it over path.
NTSTATUS WriteAtomically(const std::string &path, const std::string &text, RegFileError *error) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return IoFailure(error, "cannot create", temp);
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    errno = savedErrno;
    const NTSTATUS status = IoFailure(error, "cannot write", temp);
    unlink(temp.c_str());
    return status;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const NTSTATUS status = IoFailure(error, "cannot replace", path);
    unlink(temp.c_str());
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadWhole(const std::string &path, std::string *bytes, RegFileError *error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return IoFailure(error, "cannot open", path);
  bytes->clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const NTSTATUS status = IoFailure(error, "cannot read", path);
      close(fd);
      return status;
    }
    if (n == 0) break;
    bytes->append(buffer, size_t(n));
  }
  close(fd);
  return STATUS_SUCCESS;
}

const char *ApplyFailureText(NTSTATUS status) {
  switch (status) {
    case STATUS_CHILD_MUST_BE_VOLATILE:
      return "a key cannot be stored below a volatile key";
    case STATUS_CANNOT_DELETE:
      return "a hive root cannot be deleted";
    case STATUS_INVALID_PARAMETER:
      return "the key is nested too deeply";
    default:
      return "the registry refused the change";
  }
}

}  // namespace

NTSTATUS ImportRegText(Registry &registry, std::string_view bytes, RegFileError *error) {
  std::vector<RegEdit> edits;
  NTSTATUS status = ParseRegFile(bytes, &edits, error);
  if (!NT_SUCCESS(status)) return status;
  size_t failed = 0;
  status = registry.Apply(edits, &failed);
  if (!NT_SUCCESS(status) && error != nullptr) {
    char code[16];
    snprintf(code, sizeof code, "0x%08X", unsigned(status));
    *error = RegFileError{edits[failed].sourceLine, std::string(ApplyFailureText(status)) + " (" + code + ")"};
  }
  return status;
}

NTSTATUS SaveRegFile(Registry &registry, const std::string &path, RegFileError *error) {
  RegKeySnapshot snapshot;
  NTSTATUS status = registry.Snapshot(u"\\Registry", &snapshot);
  std::string text;
  if (NT_SUCCESS(status)) status = FormatRegFile(snapshot, &text, error);
  if (NT_SUCCESS(status)) status = WriteAtomically(path, text, error);
  return status;
}

NTSTATUS LoadRegFile(Registry &registry, const std::string &path, RegFileError *error) {
  std::string bytes;
  const NTSTATUS status = ReadWhole(path, &bytes, error);
  return NT_SUCCESS(status) ? ImportRegText(registry, bytes, error) : status;
}

}  // namespace winsim
