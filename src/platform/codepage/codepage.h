// Conversions between UTF-16 and the byte code pages the control works in.
//
// The ANSI code page is 936 (GBK as Windows defines it) unless the environment
// variable QUILLMARK_ANSI_CODEPAGE names another one. What a code page cannot
// hold becomes '?', unpaired surrogates included; bytes that are not valid
// text never stop a conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace codepage {

constexpr uint32_t CP_ACP = 0;  // "the ANSI code page", resolved at call time
constexpr uint32_t CP_GBK = 936;
constexpr uint32_t CP_UTF8 = 65001;

// The ANSI code page of this process.
uint32_t ansiCodePage();
// Overrides the ANSI code page (tests, hosts); 0 returns to the environment's.
void setAnsiCodePage(uint32_t codePage);

// UTF-16 to bytes in the given code page (CP_ACP, 936, 65001 or any page
// iconv knows as CP<n>). Unrepresentable characters become '?'. A page that
// is neither known nor a byte table is treated as ASCII.
std::string fromWide(std::u16string_view text, uint32_t codePage);
// Bytes in the given code page to UTF-16.
std::u16string toWide(std::string_view bytes, uint32_t codePage);

inline std::string ansiFromWide(std::u16string_view text) { return fromWide(text, CP_ACP); }
inline std::u16string wideFromAnsi(std::string_view bytes) { return toWide(bytes, CP_ACP); }
inline std::string utf8FromWide(std::u16string_view text) { return fromWide(text, CP_UTF8); }
inline std::u16string wideFromUtf8(std::string_view bytes) { return toWide(bytes, CP_UTF8); }
// Code page 936 whatever the ANSI code page is, for the members that ask for it.
inline std::string gbkFromWide(std::u16string_view text) { return fromWide(text, CP_GBK); }
inline std::u16string wideFromGbk(std::string_view bytes) { return toWide(bytes, CP_GBK); }
std::string utf8FromAnsi(std::string_view ansi);
std::string ansiFromUtf8(std::string_view utf8);

}  // namespace codepage
