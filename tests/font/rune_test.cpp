// The rune library against hand-checked sequences and widths.
#include <gtest/gtest.h>

#include <string>

#include "font/rune.h"

namespace {

TEST(Rune, DecodingTable) {
  struct Case {
    const char* name;
    std::string bytes;
    int len;  // bytes available to charntorune
    Rune rune;
    int consumed;
  };
  const Case cases[] = {
      {"ascii", "A", 1, 'A', 1},
      {"nul", std::string(1, '\0'), 1, 0, 1},
      {"two bytes", "\xc3\xa9", 2, 0xE9, 2},
      {"three bytes", "\xe2\x82\xac", 3, 0x20AC, 3},
      {"four bytes", "\xf0\x9f\x98\x80", 4, 0x1F600, 4},
      {"highest scalar", "\xf4\x8f\xbf\xbd", 4, 0x10FFFD, 4},
      {"stray continuation", "\x80z", 2, kRuneError, 1},
      {"invalid lead FE", "\xfe\x80", 2, kRuneError, 1},
      {"invalid lead FF", "\xff", 1, kRuneError, 1},
      {"missing continuation at 1", "\xe2z\xac", 3, kRuneError, 1},
      {"missing continuation at 2", "\xe2\x82z", 3, kRuneError, 2},
      {"truncated three-byte", "\xe2\x82", 2, 0, 0},
      {"truncated four-byte", "\xf0\x9f", 2, 0, 0},
      {"nothing left", "", 0, 0, 0},
      {"overlong slash", "\xc0\xaf", 2, kRuneError, 2},
      {"overlong three-byte", "\xe0\x80\xaf", 3, kRuneError, 3},
      {"overlong four-byte", "\xf0\x82\x82\xac", 4, kRuneError, 4},
      {"surrogate D800", "\xed\xa0\x80", 3, kRuneError, 3},
      {"surrogate DFFF", "\xed\xbf\xbf", 3, kRuneError, 3},
      {"above U+10FFFF", "\xf4\x90\x80\x80", 4, kRuneError, 4},
      {"five-byte form", "\xf8\x88\x80\x80\x80", 5, kRuneError, 5},
      {"six-byte form", "\xfc\x84\x80\x80\x80\x80", 6, kRuneError, 6},
      {"noncharacter FDD0", "\xef\xb7\x90", 3, kRuneError, 3},
      {"noncharacter FDEF", "\xef\xb7\xaf", 3, kRuneError, 3},
      {"FDF0 is fine", "\xef\xb7\xb0", 3, 0xFDF0, 3},
      {"noncharacter FFFE", "\xef\xbf\xbe", 3, kRuneError, 3},
      {"noncharacter 1FFFF", "\xf0\x9f\xbf\xbf", 4, kRuneError, 4},
      {"replacement char itself", "\xef\xbf\xbd", 3, 0xFFFD, 3},
  };
  for (const Case& tc : cases) {
    Rune r = 0x12345;
    int n = charntorune(&r, tc.bytes.data(), tc.len);
    EXPECT_EQ(n, tc.consumed) << tc.name;
    if (tc.consumed > 0) {
      EXPECT_EQ(r, tc.rune) << tc.name;
    }
  }
  // On a terminated string the NUL interrupts a sequence instead of being read past.
  Rune r;
  EXPECT_EQ(chartorune(&r, "\xe2\x82"), 2);
  EXPECT_EQ(r, kRuneError);
}

TEST(Rune, EncodeRoundTripAndHelpers) {
  const Rune runes[] = {0x41, 0xE9, 0x7FF, 0x800, 0x20AC, 0xFFFD, 0x10000, 0x1F600, 0x10FFFD};
  for (Rune r : runes) {
    char buf[8] = {};
    int n = runetochar(buf, r);
    EXPECT_EQ(n, runelen(r));
    Rune back;
    EXPECT_EQ(chartorune(&back, buf), n);
    EXPECT_EQ(back, r);
  }
  char buf[8];
  EXPECT_EQ(runetochar(buf, 0xD800), 3);  // not a scalar value: written as U+FFFD
  EXPECT_EQ(std::string(buf, 3), "\xef\xbf\xbd");
  EXPECT_EQ(utflen("a\xc3\xa9\xe2\x82\xac\x80"), 4);
  const char* s = "x\xe2\x82\xacy\xe2\x82\xac";
  EXPECT_EQ(utfrune(s, 0x20AC), s + 1);
  EXPECT_EQ(utfrune(s, 'y'), s + 4);
  EXPECT_EQ(utfrune(s, 'q'), nullptr);
  EXPECT_EQ(utfutf(s, "y\xe2\x82\xac"), s + 4);
  EXPECT_EQ(utfutf(s, "zz"), nullptr);
  EXPECT_EQ(toupperrune(0xE9), 0xC9u);
  EXPECT_EQ(tolowerrune(0x0416), 0x0436u);
  EXPECT_EQ(toupperrune('5'), (Rune)'5');
  EXPECT_TRUE(isalpharune(0x4E2D));
  EXPECT_FALSE(isalpharune('!'));
  EXPECT_TRUE(isupperrune(0x0391));
  EXPECT_TRUE(islowerrune(0x03B1));
  EXPECT_TRUE(isspacerune(0x3000));
  EXPECT_TRUE(isdigitrune('7'));
}

TEST(Rune, WidthTable) {
  struct Case {
    Rune r;
    int width;
  };
  const Case cases[] = {
      {0x00, 0},      {0x01, -1},     {0x1F, -1},     {0x20, 1},     {'A', 1},       {0x7F, -1},
      {0x80, -1},     {0x9F, -1},     {0xA0, 1},      {0xE9, 1},     {0x0301, 0},    {0x200B, 0},
      {0x4E2D, 2},    {0xAC00, 2},    {0xFF21, 2},    {0x20AC, 1},   {0xFFFE, -1},   {0xFFFF, -1},
      {0x1FFFE, -1},  {0x1F600, 2},   {0x20000, 2},   {0x3FFFD, 2},  {0xE0001, 0},   {0xE0020, 0},
      {0xE007E, 0},   {0xE007F, 1},   {0xE0100, 0},   {0xE01EE, 0},  {0xE01EF, 1},   {0x10FFFD, 1},
  };
  for (const Case& tc : cases) EXPECT_EQ(runewidth(tc.r), tc.width) << std::hex << tc.r;
}

}  // namespace
