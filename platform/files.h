#pragma once
// Files as the programs use them: opened without sharing, 64-bit positions,
// local DOS file dates.
#include <cstdint>
#include <optional>
#include <string>

// An open file. Positions are 64-bit everywhere.
struct FileHandle {
  int fd = -1;
  uint64_t device = 0;  // identity of the open file, for the sharing rule
  uint64_t inode = 0;
};

inline bool IsOpen(const FileHandle& file) { return file.fd >= 0; }

// Opening "without sharing": while a file is open through these calls, no
// other open of the same file (by any path, symlink or hard link) succeeds in
// this process. That is what makes an output naming the input fail before
// anything is truncated.
FileHandle OpenForReading(const std::string& path);
FileHandle OpenForReadWrite(const std::string& path);
// Creates the file, or replaces an existing one (truncating it only after the
// identity check has passed).
FileHandle CreateForReadWrite(const std::string& path);
// Creates the file only when no file of that name exists.
FileHandle CreateNewForReadWrite(const std::string& path);
void CloseFile(FileHandle& file);

// Reads up to `count` bytes; returns the count read (short at end of file).
int64_t ReadBytes(FileHandle& file, void* buffer, int64_t count);
// Up to `count` bytes at the current position, without copying them or
// moving the position: sets `at` to them (in the file's mapping or its read
// cache) and returns how many are there, fewer than `count` when the file
// ends or the cache holds fewer (0 at the end of the file). The bytes stay
// valid until the next call on the file.
int64_t PeekBytes(FileHandle& file, int64_t count, const char*& at);
// Writes all `count` bytes; returns false when they could not all be written.
bool WriteBytes(FileHandle& file, const void* buffer, int64_t count);
bool WriteBytesAt(FileHandle& file, int64_t position, const void* buffer, int64_t count);
int64_t ReadBytesAt(FileHandle& file, int64_t position, void* buffer, int64_t count);

int64_t SeekTo(FileHandle& file, int64_t position);
int64_t SeekBy(FileHandle& file, int64_t delta);
int64_t SeekToEnd(FileHandle& file);
int64_t CurrentPosition(FileHandle& file);
int64_t FileLength(FileHandle& file);

// Copies `count` bytes from the input's current position to the output's
// current position, advancing both. Uses the kernel's copy_file_range where it
// is allowed and a buffered copy otherwise. Returns the count copied (short
// only when the input ends).
int64_t CopyFileBytes(FileHandle& input, FileHandle& output, int64_t count);

// Reserves disk space for the first `length` bytes without changing the
// file's length, where the file system can: the writes that follow find
// their blocks allocated, which makes them cheaper. Space reserved past the
// end is given back when the file is closed.
void ReserveFileSpace(FileHandle& file, int64_t length);

// Changes bytes that a write gathered and has not yet handed to the kernel;
// false (and nothing changed) when the range is not wholly among them.
bool PatchGatheredBytes(FileHandle& file, int64_t position, const void* buffer, int64_t count);

// Writes out what is gathered and tells whether any write to the file has
// failed (a full disk, an I/O error) since it was opened.
bool HadWriteFailure(FileHandle& file);

// True for an existing file that is not a directory.
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
// True when both paths name the same existing file (device and inode).
bool SameFile(const std::string& a, const std::string& b);

// A local date and time at the two-second resolution of a DOS file date.
struct DosDateTime {
  int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
std::optional<DosDateTime> ReadFileDate(const std::string& path);
bool SetFileDate(FileHandle& file, const DosDateTime& date);
bool SetFileDate(const std::string& path, const DosDateTime& date);
// Seconds from 1970-01-01 00:00:00 to the wall-clock date and time, without
// any time-zone shift.
int64_t WallClockSecondsSince1970(const DosDateTime& date);
