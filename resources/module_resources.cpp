// The string table, the version block and the dialog templates of the module.
// The type library, the registrar script, the bitmap and the icon are files
// beside this one, embedded at build time.
#include <string_view>
#include <vector>

#include "resources/resources.h"

namespace resources {

std::string_view embeddedFile(std::string_view name);

std::string_view typeLibrary() { return embeddedFile("quillmark.idl"); }
std::string_view registrarScript() { return embeddedFile("quillmark.rgs"); }
std::string_view toolboxBitmap() { return embeddedFile("toolbox.bmp"); }
std::string_view chooserIcon() { return embeddedFile("chooser.ico"); }

std::optional<std::string_view> loadString(uint32_t id) {
    switch (id) {
        case IDS_PROJNAME:
            return "Quillmark";
        case IDS_VERSION:
            return "KestrinQuillmark 1.0.44.1";
        default:
            return std::nullopt;
    }
}

const VersionInfo& versionInfo() {
    static const VersionInfo info{
        {1, 0, 44, 1},
        {1, 0, 44, 1},
        VS_FF_PRIVATEBUILD | VS_FF_SPECIALBUILD,
        {
            {"Comments", "MorvaneQuillmarkGEx"},
            {"CompanyName", "Quillmark Developers"},
            {"FileDescription", "Quillmark Module"},
            {"FileVersion", "1, 0, 44, 1"},
            {"InternalName", "Quillmark"},
            {"LegalCopyright", "Copyright (C) 2008-2026 Quillmark Developers"},
            {"LegalTrademarks", "Quillmark"},
            {"OriginalFilename", "MorvaneQuillmarkGEx.DLL"},
            {"PrivateBuild", "Build 20080527"},
            {"ProductName", "Quillmark Module"},
            {"ProductVersion", "1, 0, 44, 1"},
            {"SpecialBuild", "Quillmark for Morvane"},
            {"OLESelfRegister", ""},
        },
    };
    return info;
}

namespace {

constexpr std::string_view DIALOG_STYLE = "DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU";
constexpr std::string_view COMBO_STYLE =
    "CBS_DROPDOWN | CBS_AUTOHSCROLL | CBS_DISABLENOSCROLL | WS_VISIBLE | WS_VSCROLL | WS_GROUP | WS_TABSTOP";

}  // namespace

const DialogTemplate* dialogTemplate(int id) {
    // Resource language Chinese (PRC); units are dialog units.
    static const DialogTemplate chooser{
        IDD_CERT_CHOOSER,
        "请选择您要用的证书",
        DIALOG_STYLE,
        407,
        61,
        "MS Sans Serif",
        8,
        {
            {1, "defpushbutton", "确定", 332, 7, 53, 15, "WS_VISIBLE | WS_TABSTOP"},
            {2, "pushbutton", "取消", 331, 28, 53, 15, "WS_VISIBLE | WS_TABSTOP"},
            {-1, "icon", "202", 13, 37, 21, 23, "WS_VISIBLE"},
            {-1, "ltext", "请在列表中选择证书:", 12, 8, 127, 8, "WS_VISIBLE | WS_GROUP"},
            {IDC_CERT_LIST, "combobox", "", 13, 21, 297, 144, COMBO_STYLE},
        },
    };
    static const DialogTemplate legacy{
        IDD_LEGACY_CHOOSER,
        "选择用于签名的个人证书",
        DIALOG_STYLE,
        263,
        87,
        "Courier New",
        9,
        {
            {1, "defpushbutton", "确定", 202, 18, 45, 14, "WS_VISIBLE | WS_TABSTOP"},
            {2, "pushbutton", "取消", 201, 43, 46, 12, "WS_VISIBLE | WS_TABSTOP"},
            {IDC_CERT_LIST, "combobox", "", 15, 30, 172, 70, COMBO_STYLE},
            {-1, "ltext", "请在列表中选择证书:", 13, 11, 70, 15, "WS_VISIBLE | WS_GROUP"},
            {-1, "icon", "202", 37, 59, 20, 20, "WS_VISIBLE"},
        },
    };
    if (id == IDD_CERT_CHOOSER) return &chooser;
    if (id == IDD_LEGACY_CHOOSER) return &legacy;
    return nullptr;
}

}  // namespace resources
