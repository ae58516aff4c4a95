#include "model/HLNFileKind.h"

#include <unordered_map>

namespace {

const std::unordered_map<std::string, uint8_t>& kindsByExtension() {
    static const auto* table = [] {
        auto* t = new std::unordered_map<std::string, uint8_t>;
        auto add = [t](uint8_t kind, std::string_view extensions) {
            while (!extensions.empty()) {
                const size_t space = extensions.find(' ');
                t->emplace(std::string(extensions.substr(0, space)), kind);
                extensions = space == std::string_view::npos ? std::string_view()
                                                             : extensions.substr(space + 1);
            }
        };
        using K = HLNFileKind;
        add(K::Video, "mp4 mkv avi mov webm wmv flv m4v mpg mpeg ts vob ogv 3gp");
        add(K::Audio, "mp3 flac ogg oga opus wav aac m4a wma aiff mid ape");
        add(K::Image,
            "jpg jpeg png gif bmp tif tiff webp svg svgz ico xpm heic raw cr2 nef psd xcf avif");
        add(K::Archive, "zip tar gz tgz bz2 xz zst 7z rar deb rpm iso img cab lz lzma jar apk "
                        "squashfs qcow2 vmdk snap");
        add(K::Document, "pdf doc docx odt ods odp xls xlsx ppt pptx txt md rtf tex epub html htm "
                         "csv ps djvu rst info man");
        add(K::Code, "c h cc cpp cxx hpp hh py js mjs java go rs rb pl pm php sh bash lua swift kt "
                     "cs m mm json xml yaml "
                     "yml toml cmake mk el scm hs ml sql css qml ui ini pas pp inc f f90 d r jl "
                     "dart vue scss asm s");
        add(K::Program, "so a o ko exe dll dylib bin elf pyc pyo class wasm appimage lib obj mod");
        // "ts" is left with video: a transport stream outweighs a script by far.
        return t;
    }();
    return *table;
}

constexpr const char* kKeywords[HLNFileKind::KindCount] = {
    "other", "video", "audio", "image", "archive", "document", "code", "program"};

// Where a shared library's version starts (".so.6.1"), or npos.
size_t versionedLibrary(std::string_view name) {
    const size_t so = name.find(".so.");
    if (so == std::string_view::npos || so == 0)
        return std::string_view::npos;
    for (char c : name.substr(so + 4))
        if (!(c == '.' || (c >= '0' && c <= '9')))
            return std::string_view::npos;
    return so;
}

} // namespace

std::string HLNFileKind::extensionOfName(std::string_view name) {
    if (versionedLibrary(name) != std::string_view::npos)
        return "so";
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size() ||
        name.size() - dot > 10)
        return std::string();
    std::string extension(name.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    return extension;
}

uint8_t HLNFileKind::kindOfName(std::string_view name) {
    const std::string extension = extensionOfName(name);
    if (extension.empty())
        return Other;
    const auto found = kindsByExtension().find(extension);
    return found == kindsByExtension().end() ? uint8_t(Other) : found->second;
}

uint8_t HLNFileKind::kindOfFile(std::string_view name, bool isExecutable) {
    const uint8_t kind = kindOfName(name);
    return kind == Other && isExecutable ? uint8_t(Program) : kind;
}

const char* HLNFileKind::keywordOfKind(uint8_t kind) {
    return kind < KindCount ? kKeywords[kind] : kKeywords[Other];
}

uint8_t HLNFileKind::kindOfKeyword(std::string_view word) {
    for (uint8_t kind = 0; kind < KindCount; ++kind)
        if (word == kKeywords[kind])
            return kind;
    return KindCount;
}
