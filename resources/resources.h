// The module's resources: the type library description, the registrar
// script, the string table, the version block, the dialog templates, the
// toolbox bitmap and the chooser icon.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace resources {

constexpr uint32_t IDR_TYPELIB = 1;
constexpr uint32_t IDR_REGISTRAR = 103;
constexpr uint32_t IDB_TOOLBOX = 101;
constexpr uint32_t IDI_CHOOSER = 202;
constexpr uint32_t IDS_PROJNAME = 100;
constexpr uint32_t IDS_VERSION = 102;
constexpr int IDD_LEGACY_CHOOSER = 104;
constexpr int IDD_CERT_CHOOSER = 203;
constexpr int IDC_CERT_LIST = 201;

// Type library 1, as its IDL description.
std::string_view typeLibrary();
// Registrar script 103.
std::string_view registrarScript();
// Bitmap 101 (a BMP file) and icon 202 (an ICO file).
std::string_view toolboxBitmap();
std::string_view chooserIcon();

// A string of the string table, in UTF-8; nullopt when there is none.
std::optional<std::string_view> loadString(uint32_t id);

constexpr uint32_t VS_FF_PRIVATEBUILD = 0x08;
constexpr uint32_t VS_FF_SPECIALBUILD = 0x20;

struct VersionInfo {
    uint16_t fileVersion[4];
    uint16_t productVersion[4];
    uint32_t fileFlags;
    // The string file info, in order.
    std::vector<std::pair<std::string_view, std::string_view>> strings;
};
const VersionInfo& versionInfo();

struct DialogControl {
    int id;                  // -1 for a static without an identifier
    std::string_view kind;   // "defpushbutton", "pushbutton", "icon", "ltext", "combobox"
    std::string_view text;   // UTF-8; for an icon, the resource number
    int x, y, cx, cy;        // dialog units
    std::string_view style;  // as written in the template
};

struct DialogTemplate {
    int id;
    std::string_view caption;  // UTF-8
    std::string_view style;
    int cx, cy;
    std::string_view font;
    int pointSize;
    std::vector<DialogControl> controls;
};
// nullptr when there is no such dialog.
const DialogTemplate* dialogTemplate(int id);

}  // namespace resources
