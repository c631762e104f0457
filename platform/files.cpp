#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>
#include <vector>

namespace {

// Identities of the files this process holds open without sharing.
std::vector<std::pair<uint64_t, uint64_t>>& HeldFiles() {
  static std::vector<std::pair<uint64_t, uint64_t>> held;
  return held;
}

bool IsHeld(uint64_t device, uint64_t inode) {
  for (const auto& h : HeldFiles())
    if (h.first == device && h.second == inode) return true;
  return false;
}

void Release(uint64_t device, uint64_t inode) {
  auto& held = HeldFiles();
  for (size_t i = 0; i < held.size(); ++i)
    if (held[i].first == device && held[i].second == inode) {
      held.erase(held.begin() + long(i));
      return;
    }
}

// Opens with `flags` (never O_TRUNC), refuses directories and files already
// held, then truncates when asked.
FileHandle OpenHeld(const std::string& path, int flags, bool truncate) {
  FileHandle file;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return file;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || IsHeld(st.st_dev, st.st_ino)) {
    ::close(fd);
    return file;
  }
  if (truncate && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return file;
  }
  file.fd = fd;
  file.device = st.st_dev;
  file.inode = st.st_ino;
  HeldFiles().emplace_back(file.device, file.inode);
  return file;
}

}  // namespace

FileHandle OpenForReading(const std::string& path) { return OpenHeld(path, O_RDONLY, false); }
FileHandle OpenForReadWrite(const std::string& path) { return OpenHeld(path, O_RDWR, false); }
FileHandle CreateForReadWrite(const std::string& path) { return OpenHeld(path, O_RDWR | O_CREAT, true); }
FileHandle CreateNewForReadWrite(const std::string& path) {
  return OpenHeld(path, O_RDWR | O_CREAT | O_EXCL, false);
}

void CloseFile(FileHandle& file) {
  if (!IsOpen(file)) return;
  Release(file.device, file.inode);
  ::close(file.fd);
  file = FileHandle{};
}

int64_t ReadBytes(FileHandle& file, void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = ::read(file.fd, p + done, size_t(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

bool WriteBytes(FileHandle& file, const void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<const char*>(buffer);
  while (done < count) {
    ssize_t n = ::write(file.fd, p + done, size_t(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

bool WriteBytesAt(FileHandle& file, int64_t position, const void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<const char*>(buffer);
  while (done < count) {
    ssize_t n = ::pwrite(file.fd, p + done, size_t(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

int64_t ReadBytesAt(FileHandle& file, int64_t position, void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = ::pread(file.fd, p + done, size_t(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t SeekTo(FileHandle& file, int64_t position) { return ::lseek(file.fd, position, SEEK_SET); }
int64_t SeekBy(FileHandle& file, int64_t delta) { return ::lseek(file.fd, delta, SEEK_CUR); }
int64_t SeekToEnd(FileHandle& file) { return ::lseek(file.fd, 0, SEEK_END); }
int64_t CurrentPosition(FileHandle& file) { return ::lseek(file.fd, 0, SEEK_CUR); }

int64_t FileLength(FileHandle& file) {
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return -1;
  return st.st_size;
}

int64_t CopyFileBytes(FileHandle& input, FileHandle& output, int64_t count) {
  int64_t done = 0;
  // The kernel copies (or shares) the range without a user-space buffer.
  while (done < count) {
    ssize_t n = ::copy_file_range(input.fd, nullptr, output.fd, nullptr, size_t(count - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  if (done == count) return done;
  // Refused (other file systems, pipes) or ended early: finish with a
  // buffered copy, which also tells a real end of input apart.
  static constexpr int64_t kChunk = 1 << 20;
  std::vector<char> buffer(size_t(std::min<int64_t>(kChunk, count - done)));
  while (done < count) {
    int64_t want = std::min<int64_t>(int64_t(buffer.size()), count - done);
    int64_t got = ReadBytes(input, buffer.data(), want);
    if (got <= 0) break;
    if (!WriteBytes(output, buffer.data(), got)) break;
    done += got;
    if (got < want) break;
  }
  return done;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<DosDateTime> ReadFileDate(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  struct tm local {};
  time_t t = st.st_mtime;
  if (!::localtime_r(&t, &local)) return std::nullopt;
  DosDateTime date;
  date.year = local.tm_year + 1900;
  date.month = local.tm_mon + 1;
  date.day = local.tm_mday;
  date.hour = local.tm_hour;
  date.minute = local.tm_min;
  date.second = local.tm_sec / 2 * 2;  // a DOS date holds seconds in steps of two
  return date;
}

namespace {
bool LocalToTimespec(const DosDateTime& date, struct timespec times[2]) {
  struct tm local {};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.day;
  local.tm_hour = date.hour;
  local.tm_min = date.minute;
  local.tm_sec = date.second;
  local.tm_isdst = -1;
  time_t t = ::mktime(&local);
  if (t == time_t(-1)) return false;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return true;
}
}  // namespace

bool SetFileDate(FileHandle& file, const DosDateTime& date) {
  struct timespec times[2];
  return LocalToTimespec(date, times) && ::futimens(file.fd, times) == 0;
}

bool SetFileDate(const std::string& path, const DosDateTime& date) {
  struct timespec times[2];
  return LocalToTimespec(date, times) && ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

int64_t WallClockSecondsSince1970(const DosDateTime& date) {
  struct tm wall {};
  wall.tm_year = date.year - 1900;
  wall.tm_mon = date.month - 1;
  wall.tm_mday = date.day;
  wall.tm_hour = date.hour;
  wall.tm_min = date.minute;
  wall.tm_sec = date.second;
  return int64_t(::timegm(&wall));
}
