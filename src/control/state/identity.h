// The identifiers of the control, chosen once and never changed: the type
// library, the class, its dual interface and its (empty) event interface.
#pragma once

#include <string>

#include "platform/com/com.h"

namespace qm {

inline constexpr GUID LIBID_QUILLMARKLib{0x65B026D9, 0xD5D0, 0x4D83, {0xB8, 0xFC, 0x6A, 0x83, 0xBC, 0xE3, 0x9B, 0xC2}};
inline constexpr IID IID_IKestrinQuillmark{0x2A98B252, 0x92C6, 0x47C3, {0xA1, 0x2A, 0x29, 0xDD, 0x6E, 0xC7, 0x4F, 0xF8}};
inline constexpr IID DIID__IKestrinQuillmarkEvents{
    0x2ED60A3E, 0x1454, 0x4964, {0x95, 0x98, 0xD5, 0x5F, 0x79, 0x51, 0xE5, 0xE6}};
inline constexpr CLSID CLSID_KestrinQuillmark{
    0xA25B21AD, 0xFE66, 0x44A5, {0x8F, 0x45, 0xB3, 0xA2, 0x2F, 0x16, 0xE9, 0x83}};

inline constexpr const char* PROGID = "Quillmark.KestrinQuillmark";
inline constexpr const char* PROGID_VERSIONED = "Quillmark.KestrinQuillmark.1";

// Where administrators keep the control's settings, under HKEY_LOCAL_MACHINE.
inline std::string settingsKeyPath() {
    return "SOFTWARE\\Classes\\CLSID\\" + guidToString(CLSID_KestrinQuillmark) + "\\CtlSettings";
}

}  // namespace qm
