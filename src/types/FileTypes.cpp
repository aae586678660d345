// The type table: ids, display names, categories and the two extension maps.
#include "types/FileTypes.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <initializer_list>

#include "common/Hash.h"
#include "platform/Text.h"
#include "ravlin/Ravlin.h"

namespace ravlin {
namespace {

struct Row {
    uint32_t typeId;
    uint32_t category;
    const wchar_t* name;
    const wchar_t* primary;  // null: no extension
    bool primaryInMap;       // false: the primary names carved files but is not looked up
    std::initializer_list<const wchar_t*> more;  // further extensions mapped to this id
};

// In table order, by category.
const Row kRows[] = {
    {44, 0, L"PNG", L"png", true, {}},
    {45, 0, L"GIF", L"gif", true, {}},
    {46, 0, L"JPG", L"jpg", true, {L"jpeg"}},
    {47, 0, L"PSD", L"psd", true, {}},
    {48, 0, L"BMP", L"bmp", true, {}},
    {49, 0, L"CR2", L"cr2", true, {}},
    {50, 0, L"RAW", L"raw", true, {}},
    {51, 0, L"TIF", L"tif", true, {L"tiff"}},
    {52, 0, L"DNG", L"dng", true, {}},
    {92, 0, L"NEF", L"nef", true, {}},
    {98, 0, L"PEF", L"pef", true, {}},
    {99, 0, L"CRW", L"crw", true, {}},
    {100, 0, L"X3F", L"x3f", true, {}},
    {101, 0, L"SR2", L"sr2", true, {}},
    {102, 0, L"MEF", L"mef", true, {}},
    {103, 0, L"ARW", L"arw", true, {}},
    {104, 0, L"ORF", L"orf", true, {}},
    {144, 0, L"RAF", L"raf", true, {}},
    {162, 0, L"ICO", L"ico", true, {}},
    {76, 0, L"WMF", L"wmf", true, {}},
    {132, 0, L"EMF", L"emf", true, {}},
    {83, 0, L"AI", L"ai", true, {}},
    {118, 0, L"CDR", L"cdr", true, {}},
    {121, 0, L"PSP", L"psp", true, {}},
    {146, 0, L"EPS", L"eps", true, {}},
    {116, 0, L"ABR", L"abr", true, {}},
    {176, 0, L"其他图片", nullptr, true, {}},
    {36, 1, L"DOC", L"doc", true, {L"wps"}},
    {37, 1, L"DOCX", L"docx", true, {}},
    {87, 1, L"XLS", L"xls", true, {L"et"}},
    {38, 1, L"XLSX", L"xlsx", true, {}},
    {90, 1, L"PPT", L"ppt", true, {L"pps", L"dps"}},
    {89, 1, L"PPTX", L"pptx", true, {}},
    {40, 1, L"PDF", L"pdf", true, {}},
    {39, 1, L"CHM", L"chm", true, {}},
    {41, 1, L"HLP", L"hlp", true, {}},
    {42, 1, L"PUB", L"pub", true, {}},
    {43, 1, L"MHT", L"mht", true, {}},
    {77, 1, L"MDB", L"mdb", true, {}},
    {78, 1, L"ACCDB", L"accdb", true, {}},
    {79, 1, L"HTML", L"html", true, {L"htm"}},
    {164, 1, L"RTF", L"rtf", true, {}},
    {161, 1, L"TXT", L"txt", true, {}},
    {163, 1, L"XML", L"xml", true, {}},
    {94, 1, L"XPS", L"xps", true, {}},
    {97, 1, L"ONE", L"one", true, {}},
    {96, 1, L"VSD", L"vsd", true, {}},
    {91, 1, L"MPP", L"mpp", true, {}},
    {95, 1, L"RPT", L"rpt", true, {}},
    {93, 1, L"P65", L"p65", true, {}},
    {172, 1, L"Word", nullptr, true, {}},
    {173, 1, L"Excel", nullptr, true, {}},
    {175, 1, L"PowerPoint", nullptr, true, {}},
    {80, 1, L"DSW", L"dsw", true, {}},
    {81, 1, L"SLN", L"sln", true, {}},
    {128, 1, L"QXP", L"qxp", true, {}},
    {165, 1, L"H", L"h", true, {}},
    {166, 1, L"C", L"c", true, {}},
    {167, 1, L"CPP", L"cpp", true, {}},
    {168, 1, L"JAVA", L"java", true, {}},
    {169, 1, L"PHP", L"php", true, {}},
    {170, 1, L"JS", L"js", true, {}},
    {171, 1, L"CSS", L"css", true, {}},
    {64, 2, L"FLV", L"flv", true, {L"f4v"}},
    {66, 2, L"RMVB", L"rmvb", true, {L"rm"}},
    {67, 2, L"MOV", L"mov", true, {}},
    {68, 2, L"3GP", L"3gp", true, {}},
    {71, 2, L"M4V", L"m4v", true, {}},
    {72, 2, L"MP4", L"mp4", true, {}},
    {73, 2, L"AVI", L"avi", true, {}},
    {82, 2, L"MPG", L"mpg", true, {L"mpeg", L"vob", L"m2v", L"h264"}},
    {86, 2, L"MKV", L"mkv", true, {L"webm", L"mka"}},
    {88, 2, L"MTS", L"mts", true, {L"m2ts", L"ts", L"tp", L"mt2s"}},
    {109, 2, L"3G2", L"3g2", true, {}},
    {113, 2, L"WTV", L"wtv", true, {}},
    {114, 2, L"MXF", L"mxf", true, {}},
    {115, 2, L"VDAT", L"vdat", true, {}},
    {108, 2, L"WMV", L"wmv", true, {L"asf"}},
    {143, 2, L"M2T", L"m2t", true, {}},
    {110, 2, L"WRF", L"wrf", true, {}},
    {111, 2, L"SWI", L"swi", true, {}},
    {112, 2, L"FLA", L"fla", true, {}},
    {149, 2, L"MOOV", L"mov", false, {}},
    {150, 2, L"MDAT", L"mov", false, {}},
    {53, 3, L"WAV", L"wav", true, {}},
    {54, 3, L"MP3", L"mp3", true, {}},
    {55, 3, L"OGG", L"ogg", true, {}},
    {56, 3, L"APE", L"ape", true, {}},
    {57, 3, L"MID", L"mid", true, {}},
    {58, 3, L"RA", L"ra", true, {}},
    {59, 3, L"WMA", L"wma", true, {}},
    {69, 3, L"M4A", L"m4a", true, {L"m4r"}},
    {70, 3, L"AMR", L"amr", true, {}},
    {105, 3, L"AU", L"au", true, {}},
    {106, 3, L"AIF", L"aif", true, {L"afc", L"aiff"}},
    {107, 3, L"MMF", L"mmf", true, {}},
    {65, 3, L"RAM", L"ram", true, {}},
    {147, 3, L"RIFF", L"riff", false, {}},
    {177, 3, L"其他音频", nullptr, true, {}},
    {60, 4, L"7Z", L"7z", true, {}},
    {61, 4, L"ZIP", L"zip", true, {}},
    {62, 4, L"RAR", L"rar", true, {}},
    {63, 4, L"JAR", L"jar", true, {}},
    {140, 4, L"TAR", L"tar", true, {}},
    {141, 4, L"ISO", L"iso", true, {}},
    {142, 4, L"GHO", L"gho", true, {}},
    {84, 4, L"CAB", L"cab", true, {}},
    {174, 5, L"邮件", nullptr, true, {L"eml"}},
    {74, 6, L"EXE", L"exe", true, {}},
    {75, 6, L"DWG", L"dwg", true, {}},
    {85, 6, L"ANI", L"ani", true, {}},
    {117, 6, L"MAX", L"max", true, {}},
    {119, 6, L"DXF", L"dxf", true, {}},
    {120, 6, L"MB", L"mb", true, {}},
    {122, 6, L"DGN", L"dgn", true, {}},
    {123, 6, L"EXB", L"exb", true, {}},
    {124, 6, L"JNB", L"jnb", true, {}},
    {125, 6, L"DCD", L"dcd", true, {}},
    {126, 6, L"QCD", L"qcd", true, {}},
    {127, 6, L"TCW", L"tcw", true, {}},
    {129, 6, L"QPT", L"qpt", true, {}},
    {130, 6, L"SDR", L"sdr", true, {L"sdt"}},
    {131, 6, L"PZF", L"pzf", true, {}},
    {133, 6, L"OCI", L"oci", true, {}},
    {134, 6, L"ICC", L"icc", true, {}},
    {135, 6, L"PCB", L"pcb", true, {}},
    {136, 6, L"TPF", L"tpf", true, {}},
    {137, 6, L"GJD", L"gjd", true, {}},
    {138, 6, L"VFB", L"vfb", true, {}},
    {139, 6, L"SLDPRT", L"sldprt", true, {}},
    {145, 6, L"MCB", L"mcb", true, {}},
    {148, 6, L"CLASS", L"class", true, {}},
    {151, 6, L"DATA", L"dat", false, {}},
    {0, 6, L"未知", nullptr, true, {}},
};

const wchar_t* const kCategoryNames[kCategoryCount] = {L"图片", L"文档", L"视频", L"音频",
                                                       L"压缩", L"邮件", L"其他"};

// An extension of up to 8 ASCII characters, lowercased, one per byte; false for any other.
bool PackExtension(const wchar_t* text, size_t length, uint64_t& key) {
    if (length == 0 || length > 8) return false;
    key = 0;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = text[i];
        if (c <= 0 || c >= 0x80) return false;
        if (c >= L'A' && c <= L'Z') c += L'a' - L'A';
        key |= uint64_t(c) << (8 * i);
    }
    return true;
}

struct Tables {
    FnvMap<uint32_t, const Row*> byId;
    FnvMap<std::wstring, uint32_t> byExtension;
    FlatMap<uint64_t, uint32_t> byPackedExtension;  // the extensions that pack
    FnvMap<uint32_t, std::wstring> primaryExtension;
    std::vector<uint32_t> perCategory[kCategoryCount];
    std::vector<TypeEntry> all;

    Tables() {
        for (const Row& row : kRows) {
            byId[row.typeId] = &row;
            if (row.primary) {
                primaryExtension[row.typeId] = row.primary;
                if (row.primaryInMap) byExtension[row.primary] = row.typeId;
            }
            for (const wchar_t* ext : row.more) byExtension[ext] = row.typeId;
            perCategory[row.category].push_back(row.typeId);
            all.push_back({row.typeId, row.category, row.name, row.primary});
        }
        for (const auto& [ext, typeId] : byExtension) {
            uint64_t key;
            if (PackExtension(ext.data(), ext.size(), key)) byPackedExtension[key] = typeId;
        }
    }
};

// Built once under the language's thread-safe static initialisation; read without locks.
const Tables& T() {
    static const Tables tables;
    return tables;
}


std::wstring Trimmed(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool TakesCreationInfo(uint32_t typeId) {
    switch (typeId) {
        case 36: case 37: case 38: case 46: case 51: case 54: case 87: case 89: case 90:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::wstring FieldText(const char16_t* field, size_t capacity) {
    size_t n = 0;
    while (n < capacity && field[n]) ++n;
    return platform::Utf16ToWide(field, n);
}

uint32_t TypeFromFileName(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0 || dot + 1 == name.size()) return 0;
    uint64_t key;
    if (PackExtension(name.data() + dot + 1, name.size() - dot - 1, key)) {
        // Files of a folder mostly share their extension.
        thread_local uint64_t lastKey = 0;
        thread_local uint32_t lastType = 0;
        if (key == lastKey) return lastType;
        const uint32_t* typeId = T().byPackedExtension.Find(key);
        lastKey = key;
        lastType = typeId ? *typeId : 0;
        return lastType;
    }
    std::wstring ext = name.substr(dot + 1);
    for (auto& c : ext) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    const auto& map = T().byExtension;
    auto it = map.find(ext);
    return it == map.end() ? 0 : it->second;
}

std::wstring ExtensionOfType(uint32_t typeId) {
    const auto& map = T().primaryExtension;
    auto it = map.find(typeId);
    return it == map.end() ? std::wstring() : it->second;
}

const wchar_t* TypeName(uint32_t typeId) {
    const auto& map = T().byId;
    auto it = map.find(typeId);
    return it == map.end() ? nullptr : it->second->name;
}

uint32_t CategoryOfType(uint32_t typeId) {
    const auto& map = T().byId;
    auto it = map.find(typeId);
    return it == map.end() ? kCategoryOther : it->second->category;
}

std::wstring CategoryName(uint32_t category) {
    return category < kCategoryCount ? kCategoryNames[category] : L"";
}

const std::vector<uint32_t>& TypesOfCategory(uint32_t category) {
    static const std::vector<uint32_t> none;
    return category < kCategoryCount ? T().perCategory[category] : none;
}

const std::vector<TypeEntry>& AllTypes() { return T().all; }

std::vector<std::pair<std::wstring, uint32_t>> ExtensionMap() {
    std::vector<std::pair<std::wstring, uint32_t>> out(T().byExtension.begin(),
                                                       T().byExtension.end());
    std::sort(out.begin(), out.end());
    return out;
}

bool SameFormatFamily(uint32_t a, uint32_t b) {
    if (a == b) return true;
    static const std::initializer_list<uint32_t> kFamilies[] = {
        {36, 87, 90, 91, 96},                                  // compound documents
        {61, 37, 38, 63, 89, 118},                             // ZIP packages
        {51, 49, 50, 52, 92, 98, 99, 100, 101, 102, 103, 104},  // TIFF and camera raw
        {67, 68, 69, 71, 72, 109},                             // QuickTime brands
        {147, 53, 73, 85},                                     // RIFF forms
        {79, 163},                                             // markup
    };
    for (const auto& family : kFamilies) {
        bool hasA = std::find(family.begin(), family.end(), a) != family.end();
        bool hasB = std::find(family.begin(), family.end(), b) != family.end();
        if (hasA && hasB) return true;
    }
    return false;
}

std::wstring CarvedFileName(uint32_t typeId, uint64_t startSector, const _FILE_CREATE_INFO* info) {
    if (typeId == 74) return {};  // carved executables are never listed
    std::wstring ext = ExtensionOfType(typeId);
    if (ext.empty()) return {};
    wchar_t hex[24];
    std::swprintf(hex, 24, L"%llx", static_cast<unsigned long long>(startSector));
    std::wstring base = std::wstring(hex) + L"." + ext;
    if (!info || !TakesCreationInfo(typeId)) return base;
    std::wstring prefix;
    for (const std::wstring& field :
         {FieldText(info->Maker, 32), FieldText(info->Model, 32), FieldText(info->Date, 12),
          FieldText(info->Title, 64)}) {
        std::wstring text = Trimmed(field);
        if (!text.empty()) prefix += text + L"__";
    }
    for (auto& c : prefix) {
        if (c < 32 || std::wstring(L"\"*/:<>?\\|").find(c) != std::wstring::npos) c = L'_';
    }
    return prefix + base;
}

std::vector<FileTypeInfo> ListFileTypes() {
    std::vector<FileTypeInfo> out;
    try {
        auto extensions = ExtensionMap();
        for (const TypeEntry& entry : AllTypes()) {
            FileTypeInfo info;
            info.typeId = entry.typeId;
            info.category = entry.category;
            info.name = entry.name ? entry.name : L"";
            info.categoryName = CategoryName(entry.category);
            info.primaryExtension = ExtensionOfType(entry.typeId);
            for (const auto& [extension, typeId] : extensions)
                if (typeId == entry.typeId) info.extensions.push_back(extension);
            out.push_back(std::move(info));
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

}  // namespace ravlin
