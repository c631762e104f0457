#include "atoms/atom_io.h"

#include <algorithm>

namespace {
const ByteString kContainerTypes[kContainerTypeCount] = {
    "moov", "trak", "edts", "mdia", "minf", "dinf", "stbl",
    "mvex", "moof", "traf", "mfra", "skip", "udta", "drm ",
};
}  // namespace

HeaderRead ReadAtomHeader(FileHandle& file, AtomHeader& header) {
  uint8_t bytes[8];
  header.position = CurrentPosition(file);
  header.type.clear();
  if (ReadBytes(file, bytes, 4) != 4) return HeaderRead::EndOfFile;
  header.size = ReadU32BE(bytes, 0);
  if (header.size < 8) return HeaderRead::SizeBelow8;
  if (ReadBytes(file, bytes + 4, 4) != 4) return HeaderRead::EndOfFile;
  header.type.assign(reinterpret_cast<const char*>(bytes + 4), 4);
  return HeaderRead::Ok;
}

const ByteString* ContainerTypes() { return kContainerTypes; }

bool IsContainerType(std::string_view type, TypeMatch match) {
  for (const auto& listed : kContainerTypes) {
    if (match == TypeMatch::Exact ? type == listed : EqualsIgnoringCase(type, listed)) return true;
  }
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
