#include "platform/files.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace {

// Each file this process holds open: its identity (for the sharing rule), its
// position and length, and how its bytes travel.
//
// The walks read and write atoms a few bytes at a time: going to the kernel
// for each header, and asking it for the position with lseek, cost far more
// than the bytes moved. So the position and the length are kept here, and
// every transfer names its file offset (pread, pwritev, copy_file_range with
// offsets); the descriptor's own offset is never used.
//
// - A file opened for reading only is mapped into memory: reads copy from the
//   mapping, and a walk that passes over media data never touches its bytes.
// - Writes are gathered into one vectored write: bytes the caller hands over
//   are copied into `buffer`; bytes copied from a mapped input are only
//   pointed at, so media data is copied once, by the kernel, as cp does.
//   Large ranges go through copy_file_range.
// - A file that is not mapped and is read uses `buffer` as a read cache
//   (filled 64 KiB at a time). The buffer holds either bytes read
//   (`readable`) or bytes still to be written, never both.
//
// The length is the one found at opening, followed through this process's
// writes: a file held without sharing is changed by nobody else.
struct HeldFile {
  int fd = -1;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t position = 0;
  int64_t length = 0;
  bool readOnly = false;        // opened for reading only: writes fail
  const char* map = nullptr;    // the whole file, when mapped
  int64_t released = 0;         // mapped pages before this were let go
  std::vector<char> buffer;     // kBufferSize bytes, allocated at first use
  int64_t bufferStart = 0;      // read cache: file position of buffer[0]
  int64_t readable = 0;         // read cache: buffer[0, readable)
  std::vector<iovec> parts;     // gathered for writing at pendingStart
  int64_t pendingStart = 0;
  int64_t pending = 0;          // bytes in `parts`
  int64_t gathered = 0;         // buffer[0, gathered): own bytes among `parts`
  bool writeFailed = false;     // a gathered write could not be written
  bool reserved = false;        // space reserved that may reach past the end
};

constexpr int64_t kBufferSize = 64 * 1024;
// Ranges from a mapped input at least this long are copied by the kernel
// without passing through a mapping.
constexpr int64_t kKernelCopyMinimum = 1 << 20;
// Parts of one vectored write (the kernel's IOV_MAX).
constexpr size_t kMaxParts = 1024;
// Bytes gathered before they are handed to the background writer: a batch
// stays well inside the mapped window of the input it points into.
constexpr int64_t kMaxBatch = 1 << 20;
// A mapped input's pages are let go once the position is this far past
// them, so the memory the process holds does not grow with the input.
constexpr int64_t kMappedWindow = 4 << 20;

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

void AllocateBuffer(HeldFile& f) {
  if (f.buffer.empty()) f.buffer.resize(size_t(kBufferSize));
}

bool IsOwnBytes(const HeldFile& f, const void* p) {
  const char* c = static_cast<const char*>(p);
  return !f.buffer.empty() && c >= f.buffer.data() && c < f.buffer.data() + kBufferSize;
}

// Writes `parts` at `at` with vectored writes; false when not all went out.
bool WriteParts(int fd, std::vector<iovec>& parts, int64_t at) {
  size_t i = 0;
  while (i < parts.size()) {
    size_t n = std::min(parts.size() - i, kMaxParts);
    ssize_t written = ::pwritev(fd, &parts[i], int(n), at);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    // Step over what was written; a part written in part is shortened.
    while (written > 0 && i < parts.size()) {
      iovec& part = parts[i];
      if (size_t(written) >= part.iov_len) {
        written -= ssize_t(part.iov_len);
        ++i;
      } else {
        part.iov_base = static_cast<char*>(part.iov_base) + written;
        part.iov_len -= size_t(written);
        written = 0;
      }
    }
  }
  return true;
}

// The background writer. A full batch of gathered parts is handed to it and
// written while the walk goes on gathering the next: the kernel's copy of
// the media data then overlaps the walk instead of following it. One batch
// at a time is out; everything else that touches a file written this way
// (a direct write, a read of it, a kernel copy, its date, closing it) first
// waits until that batch is written, so writes land in the order they were
// made.
struct BackgroundWriter {
  std::mutex lock;
  std::condition_variable changed;
  std::thread thread;
  bool busy = false;  // a batch is handed over and not yet written
  bool stop = false;
  int fd = -1;
  int64_t at = 0;
  std::vector<iovec> parts;
  std::vector<char> own;  // the own bytes the parts point into
  bool failed = false;    // the batch could not be written

  void Run() {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
      changed.wait(held, [&] { return busy || stop; });
      if (!busy) return;
      held.unlock();
      bool ok = WriteParts(fd, parts, at);
      parts.clear();
      held.lock();
      failed = !ok;
      busy = false;
      changed.notify_all();
    }
  }

  ~BackgroundWriter() {
    if (!thread.joinable()) return;
    {
      std::lock_guard<std::mutex> held(lock);
      stop = true;
    }
    changed.notify_all();
    thread.join();
  }
};

BackgroundWriter& Writer() {
  static BackgroundWriter writer;
  return writer;
}

// Waits until the batch handed to the writer, if any, is written, and marks
// its file when the write failed.
void WaitForWriter() {
  BackgroundWriter& w = Writer();
  std::unique_lock<std::mutex> held(w.lock);
  w.changed.wait(held, [&] { return !w.busy; });
  if (w.failed) {
    for (auto& h : HeldFiles())
      if (h.fd == w.fd) h.writeFailed = true;
    w.failed = false;
  }
}

void ForgetGathered(HeldFile& f) {
  f.parts.clear();
  f.pending = 0;
  f.gathered = 0;
}

// Writes the gathered parts out now.
bool Flush(HeldFile& f) {
  WaitForWriter();
  if (f.pending == 0) return true;
  bool ok = WriteParts(f.fd, f.parts, f.pendingStart);
  if (!ok) f.writeFailed = true;
  ForgetGathered(f);
  return ok;
}

// Hands the gathered parts, with the buffer of own bytes they point into, to
// the background writer (once the batch before them is written) and goes on
// with the writer's previous set and buffer, written and free.
void FlushInBackground(HeldFile& f) {
  if (f.pending == 0) return;
  WaitForWriter();
  BackgroundWriter& w = Writer();
  {
    std::lock_guard<std::mutex> held(w.lock);
    if (!w.thread.joinable()) w.thread = std::thread([&w] { w.Run(); });
    w.fd = f.fd;
    w.at = f.pendingStart;
    std::swap(w.parts, f.parts);
    std::swap(w.own, f.buffer);
    w.busy = true;
  }
  w.changed.notify_all();
  ForgetGathered(f);
}

// Makes the gathered parts continue at the position (flushing when they do
// not) and leaves room for one more part of `ownBytes` own bytes.
void PrepareGather(HeldFile& f, int64_t ownBytes) {
  if (f.pending > 0 && f.position != f.pendingStart + f.pending) FlushInBackground(f);
  if (f.parts.size() >= kMaxParts || f.gathered + ownBytes > kBufferSize ||
      f.pending >= kMaxBatch)
    FlushInBackground(f);
  if (f.pending == 0) f.pendingStart = f.position;
  f.readable = 0;  // the buffer now holds bytes to be written
}

void AddPart(HeldFile& f, const char* p, int64_t count) {
  if (!f.parts.empty()) {
    iovec& last = f.parts.back();
    if (static_cast<const char*>(last.iov_base) + last.iov_len == p) {
      last.iov_len += size_t(count);
      f.pending += count;
      return;
    }
  }
  f.parts.push_back({const_cast<char*>(p), size_t(count)});
  f.pending += count;
}

// Gathers bytes that stay valid until the next flush (a mapped input's).
void GatherBorrowed(HeldFile& f, const char* p, int64_t count) {
  PrepareGather(f, 0);
  AddPart(f, p, count);
  f.position += count;
  f.length = std::max(f.length, f.position);
}

// Gathers the caller's bytes, copying them into the buffer.
void GatherOwn(HeldFile& f, const char* p, int64_t count) {
  PrepareGather(f, count);  // may hand the buffer to the writer
  AllocateBuffer(f);
  char* to = f.buffer.data() + f.gathered;
  std::memcpy(to, p, size_t(count));
  f.gathered += count;
  AddPart(f, to, count);
  f.position += count;
  f.length = std::max(f.length, f.position);
}

// Changes gathered own bytes in place when [position, position + count)
// lies within one own part; false when it does not.
bool PatchGathered(HeldFile& f, int64_t position, const char* p, int64_t count) {
  if (f.pending == 0 || position < f.pendingStart || position + count > f.pendingStart + f.pending)
    return false;
  // Patches are mostly of bytes written shortly before: search from the end.
  int64_t end = f.pendingStart + f.pending;
  for (size_t i = f.parts.size(); i-- > 0;) {
    int64_t start = end - int64_t(f.parts[i].iov_len);
    if (position >= start) {
      if (position + count > end || !IsOwnBytes(f, f.parts[i].iov_base)) return false;
      std::memcpy(static_cast<char*>(f.parts[i].iov_base) + (position - start), p, size_t(count));
      return true;
    }
    end = start;
  }
  return false;
}

// Lets go of the mapped pages well behind the position. They stay in the
// page cache, and whatever still points at them (gathered writes) reads them
// back in.
void ReleaseMappedBehind(HeldFile& f) {
  if (!f.map || f.position - f.released < 2 * kMappedWindow) return;
  static const int64_t page = ::sysconf(_SC_PAGESIZE);
  int64_t upTo = (f.position - kMappedWindow) / page * page;
  if (upTo <= f.released) return;
  ::madvise(const_cast<char*>(f.map) + f.released, size_t(upTo - f.released), MADV_DONTNEED);
  f.released = upTo;
}

// Bytes readable at the position and where they are: in the mapping, or in
// the read cache, filled from the file when the position lies outside it;
// 0 at the end of the file.
int64_t ReadView(HeldFile& f, const char*& at) {
  if (f.map) {
    if (f.position >= f.length) return 0;
    ReleaseMappedBehind(f);
    at = f.map + f.position;
    return f.length - f.position;
  }
  if (!(f.readable > 0 && f.position >= f.bufferStart && f.position < f.bufferStart + f.readable)) {
    Flush(f);
    AllocateBuffer(f);
    f.bufferStart = f.position;
    f.readable = std::max<int64_t>(0, PreadAll(f.fd, f.buffer.data(), kBufferSize, f.position));
  }
  if (f.readable <= 0 || f.position >= f.bufferStart + f.readable) return 0;
  at = f.buffer.data() + (f.position - f.bufferStart);
  return f.bufferStart + f.readable - f.position;
}

bool ReadCacheHolds(const HeldFile& f) {
  return f.readable > 0 && f.position >= f.bufferStart && f.position < f.bufferStart + f.readable;
}

// Drops read bytes that a write to [position, position + count) changes.
void ForgetReadBytes(HeldFile& f, int64_t position, int64_t count) {
  if (f.readable > 0 && position < f.bufferStart + f.readable && f.bufferStart < position + count)
    f.readable = 0;
}

bool WriteAt(HeldFile& f, int64_t position, const char* p, int64_t count) {
  WaitForWriter();
  int64_t done = PwriteAll(f.fd, p, count, position);
  if (done > 0) f.length = std::max(f.length, position + done);
  return done == count;
}

// Reserved blocks past the end go back: a truncation to the same length
// releases them. It also stamps the file's modification time, so it comes
// before a date is set.
void GiveBackReservedSpace(HeldFile& f) {
  if (!f.reserved) return;
  Flush(f);
  (void)::ftruncate(f.fd, f.length);
  f.reserved = false;
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
  if (held.readOnly && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) held.map = static_cast<const char*>(map);
  }
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
  // Gathered writes may point into this file's mapping: all go out first.
  for (auto& h : held) Flush(h);
  for (size_t i = 0; i < held.size(); ++i)
    if (held[i].fd == file.fd) {
      GiveBackReservedSpace(held[i]);
      if (held[i].map) ::munmap(const_cast<char*>(held[i].map), size_t(held[i].length));
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
    if (!f->map && want >= kBufferSize && !ReadCacheHolds(*f)) {
      // A large read goes straight into the caller's memory.
      Flush(*f);
      int64_t got = PreadAll(f->fd, p + done, want, f->position);
      f->position += got;
      done += got;
      break;
    }
    const char* at = nullptr;
    int64_t available = ReadView(*f, at);
    if (available <= 0) break;
    int64_t n = std::min(available, want);
    std::memcpy(p + done, at, size_t(n));
    f->position += n;
    done += n;
  }
  return done;
}

int64_t PeekBytes(FileHandle& file, int64_t count, const char*& at) {
  HeldFile* f = Held(file);
  if (!f || count <= 0) return 0;
  int64_t available = ReadView(*f, at);
  if (!f->map && available < count && available < kBufferSize) {
    // The cache ends before the bytes asked for: fill it again from here.
    f->readable = 0;
    available = ReadView(*f, at);
  }
  return std::min(available, count);
}

bool WriteBytes(FileHandle& file, const void* buffer, int64_t count) {
  if (count <= 0) return true;
  HeldFile* f = Held(file);
  if (!f || f->readOnly) return false;
  const auto* p = static_cast<const char*>(buffer);
  if (count >= kBufferSize) {
    Flush(*f);
    f->readable = 0;
    bool ok = WriteAt(*f, f->position, p, count);
    f->position += count;
    return ok && !f->writeFailed;
  }
  GatherOwn(*f, p, count);
  return !f->writeFailed;
}

bool WriteBytesAt(FileHandle& file, int64_t position, const void* buffer, int64_t count) {
  if (count <= 0) return true;
  HeldFile* f = Held(file);
  if (!f || f->readOnly || position < 0) return false;
  const auto* p = static_cast<const char*>(buffer);
  ForgetReadBytes(*f, position, count);
  // Still gathered (a container size patched soon after its header).
  if (PatchGathered(*f, position, p, count)) return !f->writeFailed;
  if (f->pending > 0 && position < f->pendingStart + f->pending && f->pendingStart < position + count)
    Flush(*f);
  return WriteAt(*f, position, p, count);
}

int64_t ReadBytesAt(FileHandle& file, int64_t position, void* buffer, int64_t count) {
  HeldFile* f = Held(file);
  if (!f || position < 0 || count <= 0) return 0;
  if (f->map) {
    if (position >= f->length) return 0;
    int64_t n = std::min(count, f->length - position);
    std::memcpy(buffer, f->map + position, size_t(n));
    return n;
  }
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

void ReserveFileSpace(FileHandle& file, int64_t length) {
  HeldFile* f = Held(file);
  struct stat st {};
  if (!f || f->readOnly || length <= 0 || ::fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  // Refused by some file systems, or for want of space: the writes then
  // allocate as they go, as without it.
  if (::fallocate(f->fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0) f->reserved = true;
}

bool PatchGatheredBytes(FileHandle& file, int64_t position, const void* buffer, int64_t count) {
  HeldFile* f = Held(file);
  return f && count > 0 && PatchGathered(*f, position, static_cast<const char*>(buffer), count);
}

bool HadWriteFailure(FileHandle& file) {
  HeldFile* f = Held(file);
  if (!f) return false;
  Flush(*f);
  return f->writeFailed;
}

int64_t CopyFileBytes(FileHandle& input, FileHandle& output, int64_t count) {
  HeldFile* in = Held(input);
  HeldFile* out = Held(output);
  if (!in || !out || out->readOnly || count <= 0) return 0;
  int64_t done = 0;
  if (in->map) {
    // From a mapped input: pointed at, and written by the kernel at the next
    // flush; a large range is copied by the kernel at once.
    int64_t n = in->position < in->length ? std::min(count, in->length - in->position) : 0;
    if (n < kKernelCopyMinimum) {
      if (n > 0) GatherBorrowed(*out, in->map + in->position, n);
      in->position += n;
      ReleaseMappedBehind(*in);
      return n;
    }
    count = n;
  } else {
    // Bytes already read into the input's cache go out from there.
    while (done < count && ReadCacheHolds(*in)) {
      const char* at = nullptr;
      int64_t n = std::min(ReadView(*in, at), count - done);
      GatherOwn(*out, at, n);
      in->position += n;
      done += n;
    }
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
  // or ended early: through memory, which also tells a real end of input
  // apart.
  while (done < count) {
    const char* at = nullptr;
    int64_t available = ReadView(*in, at);
    if (available <= 0) break;
    int64_t n = std::min({available, count - done, kBufferSize});
    GatherOwn(*out, at, n);
    in->position += n;
    done += n;
    if (out->writeFailed) break;
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
  if (HeldFile* f = Held(file)) {
    Flush(*f);
    GiveBackReservedSpace(*f);
  }
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
