#pragma once
// Item lists of the settings file: [DeleteAtom] and [InsertAtom], with the
// "%XX" escapes and the "<%UUID%>" and "<%TIMESTAMP%>" placeholders.
#include <cstddef>

#include "atoms/bytes.h"
#include "platform/ini.h"

// The byte string a value with %XX escapes stands for.
ByteString DecodeValue(const ByteString& text);
// The first n decoded bytes; the text loses the characters they came from.
ByteString TakeDecoded(ByteString& text, size_t n);
// DeleteList from [DeleteAtom], then "mfra" (Build_mfra) and "edts" (Build_edts).
void BuildDeleteList(const IniFile& settings);
// InsertList from [InsertAtom], placeholders replaced with Settings.UUID and
// TimestampEscaped.
void BuildInsertList(const IniFile& settings);
// True when the type is in DeleteList (letter case ignored, equal lengths).
bool InDeleteList(const ByteString& type);
