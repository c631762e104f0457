#pragma once
// The run sequence of rivetta, from the banner to the exit status.
#include <cstdint>

#include "atoms/bytes.h"
#include "platform/ini.h"

// Runs the whole program; returns the 32-bit exit status (0, 1, -1, -2).
int32_t RunRivetta(int argc, char** argv);

// Reads the [Config] keys into Settings, in their fixed order.
void ReadConfig(const IniFile& ini);
// "YYYY/MM/DD HH:MM:SS" of a time in seconds since 1904-01-01.
ByteString TimestampTextOf(uint32_t creationTime);
// "%XX%XX%XX%XX" of the four bytes, most significant first.
ByteString TimestampEscapedOf(uint32_t creationTime);
// The frame rate rounded to five significant digits, two decimals.
ByteString FrameRateText(double framesPerSecond);
