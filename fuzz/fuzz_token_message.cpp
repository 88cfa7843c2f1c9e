// Token verification on any bytes, in a home of its own: the bytes as a
// signed message (Base64-encoded as a page would send it), the bytes as the
// Base64 text itself, and the bytes as a carried body walked element by
// element the way the verification member walks it. A request to the user
// would be a fault here: nothing on this path may ask.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "encoding/base64.h"
#include "platform/context/context.h"
#include "platform/ui/ui.h"
#include "token/token_message.h"
#include "token/token_verification.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

platform::Context& home() {
    static platform::Context* context = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-fuzz-XXXXXX").string();
        auto scripted = std::make_unique<ui::ScriptedUserInterface>();
        scripted->onUnanswered([](const ui::RecordedRequest&) { std::abort(); });
        auto* made = new platform::Context(mkdtemp(pattern.data()), std::move(scripted));
        platform::install(made);
        return made;
    }();
    return *context;
}

void verify(std::string_view text) {
    std::string content = "stale";
    qm::CertInfoRecord record;
    const int32_t code = qm::tokenVerify(text, content, &record);
    if (code != 0) check(content.empty());
}

// The walk of the verification member: from behind the body's header to
// the end, or to the first element that is not a body's or reaches past it.
void walk(std::string_view content) {
    qm::AdvPlainTexts slots;
    size_t position = qm::TOKEN_HEADER_SIZE;
    std::string value;
    size_t steps = 0;
    while (position != content.size()) {
        const size_t before = position;
        uint8_t tag = 0;
        if (qm::readTlv(content, position, tag, value) != 0) {
            check(position == before);
            return;
        }
        check(position > before && position <= content.size());
        check(position - before == qm::TOKEN_HEADER_SIZE + value.size());
        check(content.substr(before + qm::TOKEN_HEADER_SIZE, value.size()) == value);
        check(static_cast<uint8_t>(content[before]) == tag);
        check(qm::storeAdvValue(slots, tag, value) == 0);
        check(++steps <= content.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)home();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (!bytes.empty()) {
        verify(encoding::encodeBase64Wrapped(bytes));
        verify(bytes);
    }
    walk(bytes);
    return 0;
}
