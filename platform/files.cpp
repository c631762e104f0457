#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace {

// Each file this process holds open: its identity (for the sharing rule), its
// position and length, and one buffer.
//
// The walks read and write atoms a few bytes at a time: going to the kernel
// for each header, and asking it for the position with lseek, cost far more
// than the bytes moved. So small reads are served from the buffer (filled
// 64 KiB at a time) and small writes gathered in it; the position and the
// length are kept here, and every transfer names its file offset (pread,
// pwrite, copy_file_range with offsets), so the descriptor's own offset is
// never used. The buffer holds either bytes read (`readable`) or bytes still
// to be written (`pending`), never both.
//
// The length is the one found at opening, followed through this process's
// writes: a file held without sharing is changed by nobody else.
struct HeldFile {
  int fd = -1;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t position = 0;
  int64_t length = 0;
  bool readOnly = false;     // opened for reading only: writes fail
  std::vector<char> buffer;  // allocated at first use
  int64_t bufferStart = 0;   // file position of buffer[0]
  int64_t readable = 0;      // buffer[0, readable): the file's bytes at bufferStart
  int64_t pending = 0;       // buffer[0, pending): to be written at bufferStart
  bool writeFailed = false;  // a gathered write could not be written
};

constexpr int64_t kBufferSize = 64 * 1024;

std::vector<HeldFile>& HeldFiles() {
  static std::vector<HeldFile> held;
  return held;
}

bool IsHeld(uint64_t device, uint64_t inode) {
  for (const auto& h : HeldFiles())
    if (h.device == device && h.inode == inode) return true;
  return false;
}

HeldFile* Held(const FileHandle& file) {
  if (file.fd < 0) return nullptr;
  for (auto& h : HeldFiles())
    if (h.fd == file.fd) return &h;
  return nullptr;
}

int64_t PreadAll(int fd, char* p, int64_t count, int64_t position) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(fd, p + done, size_t(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t PwriteAll(int fd, const char* p, int64_t count, int64_t position) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pwrite(fd, p + done, size_t(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

// Writes the gathered bytes out.
bool Flush(HeldFile& f) {
  if (f.pending == 0) return true;
  bool ok = PwriteAll(f.fd, f.buffer.data(), f.pending, f.bufferStart) == f.pending;
  if (!ok) f.writeFailed = true;
  f.pending = 0;
  return ok;
}

// Bytes of the buffer readable at the position, filling it from the file when
// the position lies outside; 0 at the end of the file.
int64_t FillForReading(HeldFile& f) {
  if (f.readable > 0 && f.position >= f.bufferStart && f.position < f.bufferStart + f.readable)
    return f.bufferStart + f.readable - f.position;
  Flush(f);
  if (f.buffer.empty()) f.buffer.resize(size_t(kBufferSize));
  f.bufferStart = f.position;
  f.readable = 0;
  while (true) {
    ssize_t n = ::pread(f.fd, f.buffer.data(), size_t(kBufferSize), f.position);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) f.readable = n;
    return f.readable;
  }
}

const char* ReadablePointer(const HeldFile& f) {
  return f.buffer.data() + (f.position - f.bufferStart);
}

// Drops read bytes that a write to [position, position + count) changes.
void ForgetReadBytes(HeldFile& f, int64_t position, int64_t count) {
  if (f.readable > 0 && position < f.bufferStart + f.readable && f.bufferStart < position + count)
    f.readable = 0;
}

bool WriteAt(HeldFile& f, int64_t position, const char* p, int64_t count) {
  int64_t done = PwriteAll(f.fd, p, count, position);
  if (done > 0) f.length = std::max(f.length, position + done);
  return done == count;
}

// Opens with `flags` (never O_TRUNC), refuses directories and files already
// held, then truncates when asked. An empty file is left alone: on ext4 a
// truncation to zero marks the file as "replaced", and closing it then writes
// the whole new content out to the disk at once (about a second for 1 GiB)
// where a fresh file's pages would be written back in the background.
FileHandle OpenHeld(const std::string& path, int flags, bool truncate) {
  FileHandle file;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return file;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || IsHeld(st.st_dev, st.st_ino)) {
    ::close(fd);
    return file;
  }
  if (truncate && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return file;
  }
  file.fd = fd;
  file.device = st.st_dev;
  file.inode = st.st_ino;
  HeldFile held;
  held.fd = fd;
  held.device = file.device;
  held.inode = file.inode;
  held.length = truncate ? 0 : int64_t(st.st_size);
  held.readOnly = (flags & O_ACCMODE) == O_RDONLY;
  HeldFiles().push_back(std::move(held));
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
  auto& held = HeldFiles();
  for (size_t i = 0; i < held.size(); ++i)
    if (held[i].fd == file.fd) {
      Flush(held[i]);
      held.erase(held.begin() + long(i));
      break;
    }
  ::close(file.fd);
  file = FileHandle{};
}

int64_t ReadBytes(FileHandle& file, void* buffer, int64_t count) {
  HeldFile* f = Held(file);
  if (!f) return 0;
  auto* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    int64_t want = count - done;
    if (want >= kBufferSize && !(f->readable > 0 && f->position >= f->bufferStart &&
                                 f->position < f->bufferStart + f->readable)) {
      // A large read goes straight into the caller's memory.
      Flush(*f);
      int64_t got = PreadAll(f->fd, p + done, want, f->position);
      f->position += got;
      done += got;
      break;
    }
    int64_t available = FillForReading(*f);
    if (available <= 0) break;
    int64_t n = std::min(available, want);
    std::memcpy(p + done, ReadablePointer(*f), size_t(n));
    f->position += n;
    done += n;
  }
  return done;
}

bool WriteBytes(FileHandle& file, const void* buffer, int64_t count) {
  if (count <= 0) return true;
  HeldFile* f = Held(file);
  if (!f || f->readOnly) return false;
  const auto* p = static_cast<const char*>(buffer);
  f->readable = 0;
  if (f->pending > 0 && f->position != f->bufferStart + f->pending) Flush(*f);
  if (f->pending + count > kBufferSize) Flush(*f);
  if (count >= kBufferSize) {
    bool ok = WriteAt(*f, f->position, p, count);
    f->position += count;
    return ok && !f->writeFailed;
  }
  if (f->buffer.empty()) f->buffer.resize(size_t(kBufferSize));
  if (f->pending == 0) f->bufferStart = f->position;
  std::memcpy(f->buffer.data() + f->pending, p, size_t(count));
  f->pending += count;
  f->position += count;
  f->length = std::max(f->length, f->position);
  return !f->writeFailed;
}

bool WriteBytesAt(FileHandle& file, int64_t position, const void* buffer, int64_t count) {
  if (count <= 0) return true;
  HeldFile* f = Held(file);
  if (!f || f->readOnly || position < 0) return false;
  const auto* p = static_cast<const char*>(buffer);
  ForgetReadBytes(*f, position, count);
  if (f->pending > 0 && position >= f->bufferStart &&
      position + count <= f->bufferStart + f->pending) {
    // Still gathered (a container size patched soon after its header).
    std::memcpy(f->buffer.data() + (position - f->bufferStart), p, size_t(count));
    return !f->writeFailed;
  }
  if (f->pending > 0 && position < f->bufferStart + f->pending && f->bufferStart < position + count)
    Flush(*f);
  return WriteAt(*f, position, p, count);
}

int64_t ReadBytesAt(FileHandle& file, int64_t position, void* buffer, int64_t count) {
  HeldFile* f = Held(file);
  if (!f || position < 0) return 0;
  Flush(*f);
  return PreadAll(f->fd, static_cast<char*>(buffer), count, position);
}

int64_t SeekTo(FileHandle& file, int64_t position) {
  HeldFile* f = Held(file);
  if (!f || position < 0) return -1;
  f->position = position;
  return position;
}

int64_t SeekBy(FileHandle& file, int64_t delta) {
  HeldFile* f = Held(file);
  return f ? SeekTo(file, f->position + delta) : -1;
}

int64_t SeekToEnd(FileHandle& file) {
  HeldFile* f = Held(file);
  return f ? SeekTo(file, f->length) : -1;
}

int64_t CurrentPosition(FileHandle& file) {
  HeldFile* f = Held(file);
  return f ? f->position : -1;
}

int64_t FileLength(FileHandle& file) {
  HeldFile* f = Held(file);
  return f ? f->length : -1;
}

int64_t CopyFileBytes(FileHandle& input, FileHandle& output, int64_t count) {
  HeldFile* in = Held(input);
  HeldFile* out = Held(output);
  if (!in || !out) return 0;
  int64_t done = 0;
  // Bytes already read into the input's buffer go out from there.
  while (done < count && in->readable > 0 && in->position >= in->bufferStart &&
         in->position < in->bufferStart + in->readable) {
    int64_t n = std::min(in->bufferStart + in->readable - in->position, count - done);
    if (!WriteBytes(output, ReadablePointer(*in), n)) return done;
    in->position += n;
    done += n;
  }
  // A large range: the kernel copies (or shares) it without a user-space
  // buffer.
  if (count - done >= kBufferSize) {
    Flush(*in);
    Flush(*out);
    out->readable = 0;
    while (done < count) {
      loff_t from = in->position, to = out->position;
      ssize_t n = ::copy_file_range(in->fd, &from, out->fd, &to, size_t(count - done), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      in->position += n;
      out->position += n;
      out->length = std::max(out->length, out->position);
      done += n;
    }
  }
  // Small ranges, and ranges the kernel refused (other file systems, pipes)
  // or ended early: through the buffers, which also tells a real end of input
  // apart.
  while (done < count) {
    int64_t available = FillForReading(*in);
    if (available <= 0) break;
    int64_t n = std::min(available, count - done);
    if (!WriteBytes(output, ReadablePointer(*in), n)) break;
    in->position += n;
    done += n;
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
  // Gathered bytes go out first: writing them later would move the date.
  if (HeldFile* f = Held(file)) Flush(*f);
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
