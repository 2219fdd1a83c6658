// The Windows-1250 table: checked byte by byte against the C library's iconv,
// an independent table, and against the Czech letters and the undefined
// bytes listed by hand.
#include "packet/code_page.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <set>
#include <string>

namespace tessary {
namespace {

constexpr unsigned char kUndefined[] = {0x81, 0x83, 0x88, 0x90, 0x98};

std::string AllBytes() {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    return all;
}

TEST(CodePage, AgreesWithIconvOnEveryDefinedByteAndIconvDefinesNoOther) {
    iconv_t cd = ::iconv_open("UTF-8", "CP1250");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    int compared = 0;
    for (int b = 0; b < 0x100; ++b) {
        char in[1] = {static_cast<char>(b)};
        char out[8] = {};
        char *inPtr = in;
        char *outPtr = out;
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const bool converted = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1);
        EXPECT_EQ(converted, Cp1250Defines(static_cast<unsigned char>(b))) << "byte " << b;
        if (!converted) continue;
        const std::string expected(out, outPtr);
        EXPECT_EQ(Cp1250ToUtf8(std::string(1, in[0])), expected) << "byte " << b;
        EXPECT_EQ(Utf8ToCp1250(expected), std::string(1, in[0])) << "byte " << b;
        ++compared;
    }
    ::iconv_close(cd);
    EXPECT_EQ(compared, 0x100 - 5);
}

TEST(CodePage, CzechLettersBothWays) {
    // The letters of Czech with their bytes, as the code page lists them.
    const std::pair<const char *, unsigned char> letters[] = {
        {"á", 0xE1}, {"č", 0xE8}, {"ď", 0xEF}, {"é", 0xE9}, {"ě", 0xEC}, {"í", 0xED}, {"ň", 0xF2},
        {"ó", 0xF3}, {"ř", 0xF8}, {"š", 0x9A}, {"ť", 0x9D}, {"ú", 0xFA}, {"ů", 0xF9}, {"ý", 0xFD},
        {"ž", 0x9E}, {"Á", 0xC1}, {"Č", 0xC8}, {"Ď", 0xCF}, {"É", 0xC9}, {"Ě", 0xCC}, {"Í", 0xCD},
        {"Ň", 0xD2}, {"Ó", 0xD3}, {"Ř", 0xD8}, {"Š", 0x8A}, {"Ť", 0x8D}, {"Ú", 0xDA}, {"Ů", 0xD9},
        {"Ý", 0xDD}, {"Ž", 0x8E}, {"€", 0x80}, {"\xC2\xA0", 0xA0}};
    for (const auto &[utf8, byte] : letters) {
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(Cp1250ToUtf8(one), utf8) << int{byte};
        EXPECT_EQ(Utf8ToCp1250(utf8), one) << utf8;
        EXPECT_EQ(Utf8ToCp1250Substituting(utf8), one) << utf8;
    }
    EXPECT_EQ(Utf8ToCp1250("Příliš žluťoučký kůň"), "P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2");
    EXPECT_EQ(Cp1250ToUtf8("\xE8ty\xF8i"), "čtyři");
}

// The five undefined bytes stand for U+0081 and the like, so every byte makes
// the round trip and decodes to a character of its own.
TEST(CodePage, EveryByteIsOneCharacterAndUndefinedBytesAreTheControlCharactersOfTheirNumber) {
    for (const unsigned char b : kUndefined) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = {'\xC2', static_cast<char>(b)};
        EXPECT_EQ(Cp1250ToUtf8(byte), utf8) << int{b};
        EXPECT_EQ(Utf8ToCp1250(utf8), byte) << int{b};
        EXPECT_FALSE(Cp1250Defines(b));
    }
    const std::string all = AllBytes();
    EXPECT_EQ(Utf8ToCp1250(Cp1250ToUtf8(all)), all);
    EXPECT_EQ(Utf8ToCp1250Substituting(Cp1250ToUtf8(all)), all);
    std::set<char16_t> characters;
    for (int b = 0; b < 256; ++b) {
        const char16_t c = Cp1250Character(static_cast<std::uint8_t>(b));
        EXPECT_FALSE(c >= 0xD800 && c <= 0xDFFF) << b;
        characters.insert(c);
    }
    EXPECT_EQ(characters.size(), 256u);
    EXPECT_TRUE(Cp1250Defines(0x80));  // the euro sign
}

TEST(CodePage, WhatCannotBeRepresented) {
    EXPECT_EQ(Utf8ToCp1250("日本"), std::nullopt);      // not in the code page
    EXPECT_EQ(Utf8ToCp1250("\xC3"), std::nullopt);       // cut short
    EXPECT_EQ(Utf8ToCp1250("\xE8\x41"), std::nullopt);   // not UTF-8
    EXPECT_EQ(Utf8ToCp1250("\xC0\xAE"), std::nullopt);   // an overlong '.'
    EXPECT_EQ(Utf8ToCp1250("\xED\xA0\x80"), std::nullopt);  // a surrogate
    // Text that must go out all the same: one '?' a character, a character
    // outside the basic plane counting as one.
    EXPECT_EQ(Utf8ToCp1250Substituting("a中b"), "a?b");
    EXPECT_EQ(Utf8ToCp1250Substituting("x\xF0\x9F\x98\x80y"), "x?y");
    EXPECT_EQ(Utf8ToCp1250Substituting("\xFFz"), "?z");
    EXPECT_EQ(Utf8ToCp1250Substituting(""), "");
    EXPECT_EQ(Cp1250Unrepresentable("kůň"), "");
    EXPECT_EQ(Cp1250Unrepresentable("a中b\xF0\x9F\x98\x80?"), "中\xF0\x9F\x98\x80");
    EXPECT_EQ(Cp1250Unrepresentable("\xFF"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tessary
