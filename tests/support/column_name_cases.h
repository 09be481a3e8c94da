// The column names a header row must give, as a table: the program's column_names and the fake
// service's derive_column_names are two separate implementations, and both are held to it.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

struct ColumnNameCase {
  const char* name;
  std::vector<std::string> header;
  std::vector<std::string> names;
  friend void PrintTo(const ColumnNameCase& c, std::ostream* os) { *os << c.name; }
};

// Names each instantiated test after its row of the table.
inline std::string column_name_case_name(const testing::TestParamInfo<ColumnNameCase>& info) {
  return info.param.name;
}

// The positional names of columns A to T (zero-based index 0 to 19).
inline const std::vector<std::string> kPositionalNamesAToT = {
    "_cn6ca", "_cokwr", "_cpzh4", "_cre1l", "_chk2m", "_ciyn3", "_ckd7g",
    "_clrrx", "_cyevm", "_cztg3", "_d180g", "_d2mkx", "_cssly", "_cu76f",
    "_cvlqs", "_cx0b9", "_d9ney", "_db1zf", "_dcgjs", "_ddv49"};

// Further on: AA, ZZ, XFD (the last column many spreadsheets have), and either side of 65536,
// where column * 0x10001 first needs more than 32 bits.
struct FarPositionalName {
  std::size_t column;
  const char* name;
};
inline const std::vector<FarPositionalName> kFarPositionalNames = {
    {26, "_dnp34"}, {701, "_13olev"}, {16383, "_hels85"}, {65535, "_1yogvmt"}, {65536, "_1zdsmvu"}};

inline const std::vector<ColumnNameCase> kColumnNameCases = {
    {"AsciiLowerCasedWithoutPunctuationOrSpaces",
     {"Serial Number", "Time 2 Eat!", "letters_pl", "e-mail", "Ma\tx\n"},
     {"serialnumber", "time2eat", "letterspl", "email", "max"}},
    {"LettersOfEveryScriptLowerCased",
     {"Tel\u00e9fono", "\u038c\u039d\u039f\u039c\u0391 \u03a3",
      "\u0418\u043c\u044f \u0401\u043b\u043a\u0438", "\u6771\u4eac 2", "\u00c4\u00d6\u00dc-\u1e9e",
      "\u05e9\u05dd"},
     {"tel\u00e9fono", "\u03cc\u03bd\u03bf\u03bc\u03b1\u03c3",
      "\u0438\u043c\u044f\u0451\u043b\u043a\u0438", "\u6771\u4eac2", "\u00e4\u00f6\u00fc\u00df",
      "\u05e9\u05dd"}},
    // Each code point on its own: a final capital sigma becomes the plain small sigma, a dotted
    // capital I a plain i, the Kelvin sign a k.
    {"LowerCasedOneCodePointAtATime",
     {"\u039f\u0394\u039f\u03a3", "\u0130stanbul", "\u212a", "\u01c5", "\u1f88"},
     {"\u03bf\u03b4\u03bf\u03c3", "istanbul", "k", "\u01c6", "\u1f80"}},
    {"ModifierAndOtherLettersStay",
     {"x\u02b0", "\u00aa\u00ba", "\u3005\u3005"},
     {"x\u02b0", "\u00aa\u00ba", "\u3005\u3005"}},
    {"LettersBeyondTheBasicPlane",
     {"\U00010400\U00010401", "\U0001d400", "\U00020000"},
     {"\U00010428\U00010429", "\U0001d400", "\U00020000"}},
    // Devanagari, Bengali and Thai vowel signs and tone marks, Arabic vowel marks, and a Latin
    // accent written as a mark of its own (kept as written: nothing is normalised).
    {"CombiningMarksStayWithTheirLetters",
     {"\u0928\u093e\u092e", "\u09a8\u09be\u09ae", "\u0e0a\u0e37\u0e48\u0e2d",
      "\u0625\u0650\u0633\u0652\u0645", "Cafe\u0301", "\u0915\u0903"},
     {"\u0928\u093e\u092e", "\u09a8\u09be\u09ae", "\u0e0a\u0e37\u0e48\u0e2d",
      "\u0625\u0650\u0633\u0652\u0645", "cafe\u0301", "\u0915\u0903"}},
    {"DecimalDigitsOfEveryScriptStay",
     {"\u0663\u0664", "\u096a2", "\uff11"},
     {"\u0663\u0664", "\u096a2", "\uff11"}},
    // Enclosing marks (Me), letter numbers (Nl), other numbers (No), connector punctuation,
    // spaces of every kind, symbols, format and private-use characters are all left out.
    {"EverythingElseIsLeftOut",
     {"1\u20dd", "x\u216b", "m\u00b2\u00bd", "a_b\u203fc", "d\u00a0e\u3000f", "\u20ac5+",
      "\U0001f600ok\u00a9", "z\u200dw\u00ad", "p\ue000q\u200b"},
     {"1", "x", "m", "abc", "def", "5", "ok", "zw", "pq"}},
    {"RepeatsAreNumberedInHeaderOrder",
     {"Name", "name", "N-A-M-E", "Name 2", "name", "NAME_2"},
     {"name", "name_2", "name_3", "name2", "name_4", "name2_2"}},
    // A header that leaves nothing, whatever it held, names the column by its position; those
    // names are no repeats, and a header spelled like one loses its "_" and meets nothing.
    {"HeadersThatLeaveNothingAreNamedByPosition",
     {"", "!!!", " ", "_", "\u20ac", "\u00b2", "\u20dd", "\u200d"},
     {"_cn6ca", "_cokwr", "_cpzh4", "_cre1l", "_chk2m", "_ciyn3", "_ckd7g", "_clrrx"}},
    {"PositionalNamesMeetNoDerivedName",
     {"_cokwr", "", "-", "cn6ca", "_cn6ca"},
     {"cokwr", "_cokwr", "_cpzh4", "cn6ca", "cn6ca_2"}},
    // Bytes that are not UTF-8 count as U+FFFD, which is a symbol and left out like one; the
    // characters around them stay. U+FFFD written out is left out as well.
    {"IllFormedBytesAreLeftOut",
     {"A\xC3"
      "B",
      "\xC1\x81x", "\xED\xA0\x80z", "\xF4\x90\x80\x80q",
      "\x80\xBF"
      "a",
      "cd\xE2\x82", "\xEF\xBF\xBD", "\xFF"},
     {"ab", "x", "z", "q", "a", "cd", "_ckd7g", "_clrrx"}},
};

}  // namespace testing_support
