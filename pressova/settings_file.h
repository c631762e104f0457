#pragma once
// The export settings file: an atom container kept in an INI file, one
// section per atom. The container's own section is "0"; child i of the atom
// (or container) of section S has the section S + ":" + i. Keys: "childs"
// (number of children), "atom" (the type's four characters), "id", "size"
// and "data" (the bytes as upper-case hexadecimal digits).
#include <string>

#include "pressova/quicktime/quicktime.h"

// Writes the children of `parent`, and everything below them, into the
// sections under `section`. Keys written again get the new value; every other
// key stays. False as soon as a key could not be written.
bool SaveSettingsTree(const std::string& settingsFile, QTAtomContainer container, QTAtom parent,
                      const std::string& section);

// Adds the atom that `section` describes as a child of `parent` (none when
// the section has no "atom") and below it the atoms of its subsections. A
// missing file, section or key reads as its default.
void LoadSettingsTree(const std::string& settingsFile, QTAtomContainer container, QTAtom parent,
                      const std::string& section);

// The four characters of a four-character code, the high byte first.
std::string CodeToText(uint32_t code);
// The code of up to four characters, padded with blanks, the first in the
// high byte.
uint32_t CodeOfText(const std::string& text);
