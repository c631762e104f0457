#include "rivetta/items.h"

#include <string>

#include "rivetta/state.h"

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of the (at most two) characters after a "%": their hexadecimal
// value, or 0 when they are not hexadecimal digits or there are none.
char EscapedByte(const ByteString& digits) {
  if (digits.empty()) return 0;
  int value = 0;
  for (char c : digits) {
    int digit = HexDigitValue(c);
    if (digit < 0) return 0;
    value = value * 16 + digit;
  }
  return char(value);
}

// Removes the first decoded byte from `text` (one character, or a "%" with
// the two characters after it, fewer when the text ends) and returns it.
char TakeOneByte(ByteString& text) {
  char c = text[0];
  if (c != '%') {
    text.erase(0, 1);
    return c;
  }
  ByteString digits = text.substr(1, 2);
  text.erase(0, 1 + digits.size());
  return EscapedByte(digits);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool MatchesIgnoringCaseAt(const ByteString& text, size_t at, const ByteString& word) {
  if (word.size() > text.size() - at) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (LowerAscii(text[at + i]) != LowerAscii(word[i])) return false;
  return true;
}

// Every occurrence of `placeholder` in any letter case, scanned left to right,
// replaced by `replacement`; the replacement itself is not scanned again.
ByteString ReplaceIgnoringCase(const ByteString& text, const ByteString& placeholder,
                               const ByteString& replacement) {
  ByteString result;
  size_t at = 0;
  while (at < text.size()) {
    if (MatchesIgnoringCaseAt(text, at, placeholder)) {
      result += replacement;
      at += placeholder.size();
    } else {
      result += text[at++];
    }
  }
  return result;
}

bool StartsWithSeparator(const ByteString& text) {
  return !text.empty() && (text[0] == '\\' || text[0] == '/');
}

std::string ItemKey(int n) { return "Item" + std::to_string(n); }

// One [InsertAtom] value, placeholders already replaced: an optional first
// separator ("/" puts the atom after the container's last child), the path
// levels as four decoded bytes each followed by a separator, then the data.
TInsertItem ParseInsertItem(ByteString value) {
  TInsertItem item;
  item.AtEnd = !value.empty() && value[0] == '/';
  item.Path = "\\";
  while (StartsWithSeparator(value)) {
    value.erase(0, 1);
    ByteString rest = value;
    ByteString type = TakeDecoded(rest, 4);
    if (StartsWithSeparator(rest)) {
      item.Path += type + "\\";
      value = rest;
    }
  }
  item.Data = DecodeValue(value);
  return item;
}

}  // namespace

ByteString DecodeValue(const ByteString& text) {
  ByteString rest = text;
  ByteString result;
  while (!rest.empty()) result += TakeOneByte(rest);
  return result;
}

ByteString TakeDecoded(ByteString& text, size_t n) {
  ByteString result;
  for (size_t i = 0; i < n && !text.empty(); ++i) result += TakeOneByte(text);
  return result;
}

void BuildDeleteList(const IniFile& settings) {
  DeleteList.clear();
  for (int n = 0;; ++n) {
    ByteString value = ReadText(settings, "DeleteAtom", ItemKey(n), "");
    if (value.empty()) break;
    DeleteList.push_back(DecodeValue(value));
  }
  if (Settings.Build_mfra != 0) DeleteList.push_back("mfra");
  if (Settings.Build_edts) DeleteList.push_back("edts");
}

void BuildInsertList(const IniFile& settings) {
  InsertList.clear();
  for (int n = 0;; ++n) {
    ByteString value = ReadText(settings, "InsertAtom", ItemKey(n), "");
    if (value.empty()) break;
    // On the raw text, before decoding: the UUID setting may hold escapes
    // and even the timestamp placeholder.
    value = ReplaceIgnoringCase(value, "<%UUID%>", Settings.UUID);
    value = ReplaceIgnoringCase(value, "<%TIMESTAMP%>", TimestampEscaped);
    TInsertItem item = ParseInsertItem(value);
    bool lastItem = item.Data.empty();
    InsertList.push_back(item);
    // An item with nothing after its path ends the section.
    if (lastItem) break;
  }
}

bool InDeleteList(const ByteString& type) {
  for (const ByteString& entry : DeleteList)
    if (EqualsIgnoringCase(entry, type)) return true;
  return false;
}
