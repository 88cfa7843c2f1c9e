#include "pages.h"

#include <algorithm>
#include <string>
#include <vector>

namespace host::examples {
// Generated from examples/ by quillmark_embed.
std::string_view embeddedFile(std::string_view name);
std::vector<std::string_view> embeddedFileNames();
}  // namespace host::examples

namespace host {

namespace {

std::vector<EmbeddedPage> collectPages() {
    std::vector<std::string_view> names = examples::embeddedFileNames();
    std::sort(names.begin(), names.end());
    std::vector<EmbeddedPage> pages;
    for (std::string_view name : names) {
        if (!name.ends_with(".js")) continue;
        EmbeddedPage page{name, examples::embeddedFile(name), std::nullopt};
        const std::string answers = std::string(name.substr(0, name.size() - 3)) + ".answers";
        if (std::find(names.begin(), names.end(), answers) != names.end()) page.answers = examples::embeddedFile(answers);
        pages.push_back(page);
    }
    return pages;
}

}  // namespace

std::span<const EmbeddedPage> embeddedPages() {
    static const std::vector<EmbeddedPage> pages = collectPages();
    return pages;
}

}  // namespace host
