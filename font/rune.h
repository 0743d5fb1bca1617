// UTF-8 runes: decoding and encoding with one set of rules for every caller (the
// layout, the text callbacks, typed text), display widths and simple case data.
// Ill-formed input never stops a walk that has bytes left: it decodes to
// U+FFFD and consumes at least one byte.
#pragma once

#include "platform/types.h"

using Rune = u32;

inline constexpr Rune kRuneError = 0xFFFD;
inline constexpr int kUtfMax = 6;  // longest sequence a lead byte can announce

// Decodes one rune from at most `len` bytes. Returns the bytes consumed, or 0 when
// the bytes end inside a sequence (incomplete: more input may complete it).
// Stray or invalid lead bytes give U+FFFD for 1 byte; a missing continuation byte
// at position k gives U+FFFD for k bytes; an overlong form, a surrogate, a value
// past U+10FFFF, U+FDD0..U+FDEF or a value ending in FFFE/FFFF gives U+FFFD for
// the whole sequence.
int charntorune(Rune* r, const char* s, int len);
// The same on a NUL-terminated string (the NUL ends any sequence it interrupts).
int chartorune(Rune* r, const char* s);
// Encodes r (U+FFFD for values that are not scalar values) into s; returns bytes written (1..4).
int runetochar(char* s, Rune r);
// Bytes runetochar writes for r.
int runelen(Rune r);
// Runes in a NUL-terminated string.
int utflen(const char* s);
// First occurrence of r in s, or null (r 0 finds the terminator).
const char* utfrune(const char* s, Rune r);
// First occurrence of the string needle in s, or null; an empty needle matches at s.
const char* utfutf(const char* s, const char* needle);

// Display columns: 0 for NUL and combining marks, -1 for control characters and
// noncharacters ending in FFFE/FFFF, 2 for wide (East Asian) characters, else 1.
int runewidth(Rune r);

b8 isalpharune(Rune r);
b8 isupperrune(Rune r);
b8 islowerrune(Rune r);
b8 isspacerune(Rune r);
b8 isdigitrune(Rune r);
Rune toupperrune(Rune r);
Rune tolowerrune(Rune r);
