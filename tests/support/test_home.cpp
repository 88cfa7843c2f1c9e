#include "support/test_home.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace testing_support {

TestHome::TestHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary home");
    path_ = pattern;
    auto scripted = std::make_unique<ui::ScriptedUserInterface>();
    ui_ = scripted.get();
    ui_->onUnanswered([](const ui::RecordedRequest& request) {
        ADD_FAILURE() << "a request found no scripted answer: " << request.json;
    });
    context_ = std::make_unique<platform::Context>(path_, std::move(scripted));
    scope_ = std::make_unique<platform::ScopedContext>(*context_);
}

TestHome::~TestHome() {
    scope_.reset();
    context_.reset();
    std::error_code ignored;
    // A test may have made parts of its home read-only.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

}  // namespace testing_support
