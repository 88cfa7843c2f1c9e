// The example pages, built into the executable so that `quillmark demo`
// needs no source tree. The build generates their definition from
// examples/*.js and, beside a page, an optional NAME.answers.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace host {

struct EmbeddedPage {
    std::string_view name;                    // "01_base64.js"
    std::string_view script;                  // UTF-8
    std::optional<std::string_view> answers;  // the answers file's text, when there is one
};

// In file-name order.
std::span<const EmbeddedPage> embeddedPages();

}  // namespace host
