#include "atoms/atom_io.h"

#include <algorithm>

namespace {
const ByteString kContainerTypes[kContainerTypeCount] = {
    "moov", "trak", "edts", "mdia", "minf", "dinf", "stbl",
    "mvex", "moof", "traf", "mfra", "skip", "udta", "drm ",
};

// A four-byte type as one number, ASCII capitals lowered when `lower`. Every
// atom of both walks is tested against the container list, so the test is
// fourteen integer compares rather than fourteen string compares.
uint32_t TypeNumber(std::string_view type, bool lower) {
  uint32_t number = 0;
  for (size_t i = 0; i < 4; ++i) {
    uint8_t c = uint8_t(type[i]);
    if (lower && c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
    number = number << 8 | c;
  }
  return number;
}

struct ContainerNumbers {
  uint32_t numbers[kContainerTypeCount];
  ContainerNumbers() {
    for (int i = 0; i < kContainerTypeCount; ++i) numbers[i] = TypeNumber(kContainerTypes[i], false);
  }
};

// The listed types are all lower case, so a lowered type matches its listed
// number exactly when it matches the listed type without regard to case.
const ContainerNumbers kContainerNumbers;
}  // namespace

HeaderRead ReadAtomHeader(FileHandle& file, AtomHeader& header) {
  header.position = CurrentPosition(file);
  header.type.clear();
  // Both walks read a header per atom: the bytes are looked at where they
  // lie rather than copied. A view shorter than a header is the end of the
  // file.
  const char* at = nullptr;
  int64_t seen = PeekBytes(file, 8, at);
  if (seen < 4) {
    SeekBy(file, seen);
    return HeaderRead::EndOfFile;
  }
  header.size = ReadU32BE(at, 0);
  if (header.size < 8) {
    SeekBy(file, 4);
    return HeaderRead::SizeBelow8;
  }
  if (seen < 8) {
    SeekBy(file, seen);
    return HeaderRead::EndOfFile;
  }
  header.type.assign(at + 4, 4);
  SeekBy(file, 8);
  return HeaderRead::Ok;
}

const ByteString* ContainerTypes() { return kContainerTypes; }

bool IsContainerType(std::string_view type, TypeMatch match) {
  if (type.size() != 4) return false;  // every listed type has four bytes
  uint32_t number = TypeNumber(type, match == TypeMatch::IgnoringCase);
  for (uint32_t listed : kContainerNumbers.numbers)
    if (number == listed) return true;
  return false;
}

bool IsWalkedContainer(const AtomHeader& header, TypeMatch match) {
  return header.size >= 16 && IsContainerType(header.type, match);
}

ByteString ChildPath(const ByteString& path, std::string_view type) {
  ByteString child = path;
  child.append(type);
  child.push_back('\\');
  return child;
}

bool WriteAtom(FileHandle& file, std::string_view type, const void* body, int64_t size,
               int64_t bodyLength) {
  uint8_t header[8];
  WriteU32BE(header, 0, uint32_t(size));
  size_t headerLength = 4;
  if (!type.empty()) {
    for (size_t i = 0; i < 4; ++i) header[4 + i] = i < type.size() ? uint8_t(type[i]) : 0;
    headerLength = 8;
  }
  if (body && bodyLength > 0) {
    // One write for header and a small body; large bodies go straight out.
    if (bodyLength <= 4096) {
      uint8_t joined[8 + 4096];
      std::copy(header, header + headerLength, joined);
      std::copy(static_cast<const uint8_t*>(body), static_cast<const uint8_t*>(body) + bodyLength,
                joined + headerLength);
      return WriteBytes(file, joined, int64_t(headerLength) + bodyLength);
    }
    return WriteBytes(file, header, int64_t(headerLength)) && WriteBytes(file, body, bodyLength);
  }
  return WriteBytes(file, header, int64_t(headerLength));
}

int64_t WriteAtomString(FileHandle& file, const ByteString& data) {
  int64_t size = int64_t(data.size()) + 4;
  ByteString atom = U32BEBytes(uint32_t(size)) + data;
  WriteBytes(file, atom.data(), int64_t(atom.size()));
  return size;
}
