#include "certs/cert_chooser.h"

#include <algorithm>

#include "control/state/boundary.h"
#include "platform/context/context.h"
#include "resources/resources.h"

namespace qm {

namespace {

constexpr std::string_view EDIT_TEXT = "请选择证书";
constexpr std::string_view ISSUER_PREFIX = "签发者：";
// A space, a full-width comma, then "主题：" with a full-width colon.
constexpr std::string_view SUBJECT_SEPARATOR = " ，主题：";
// The first generation's entries use an ASCII comma.
constexpr std::string_view LEGACY_SUBJECT_SEPARATOR = ", 主题：";
constexpr std::string_view CAPTION_LEGACY_ENCRYPT = "选择用于加密的对方证书";
constexpr std::string_view CAPTION_LEGACY_SIGN = "选择用于签名的本人证书";

}  // namespace

CertChooser::CertChooser(int32_t candidateCount, const NodeList* candidates, std::optional<std::string> prompt)
    : candidateCount_(candidateCount), candidates_(candidates), prompt_(std::move(prompt)) {}

void CertChooser::run() {
    chosenIndex_ = -1;
    const resources::DialogTemplate* dialog = resources::dialogTemplate(resources::IDD_CERT_CHOOSER);
    if (!dialog) return;

    ui::ChooserRequest request;
    request.dialogId = dialog->id;
    request.caption = ansiFromUtf8(prompt_ ? std::string_view(*prompt_) : dialog->caption);
    request.edit = ansiFromUtf8(EDIT_TEXT);
    int width = ui::measureText(request.edit);

    // The list is filled only when it holds exactly three items for every
    // candidate; otherwise the drop-down stays empty and unsized.
    const bool complete = candidates_ && candidateCount_ >= 0 &&
                          static_cast<int64_t>(candidates_->count()) == 3 * static_cast<int64_t>(candidateCount_);
    if (complete) {
        const std::string prefix = ansiFromUtf8(ISSUER_PREFIX);
        const std::string separator = ansiFromUtf8(SUBJECT_SEPARATOR);
        for (int32_t k = 0; k < candidateCount_; ++k) {
            std::string_view subject;
            std::string_view issuer;
            candidates_->item(3 * k, subject);
            candidates_->item(3 * k + 1, issuer);
            std::string entry = prefix;
            entry.append(issuer).append(separator).append(subject);
            width = std::max(width, ui::measureText(entry));
            request.entries.push_back(std::move(entry));
        }
        request.width = width;
    }

    const ui::ChooserAnswer answer = platform::context().ui().chooseCertificate(request);
    if (!answer.ok) return;
    // OK with nothing selected: 3 × -1 + 2 = -1.
    if (answer.index < -1 || answer.index >= static_cast<int>(request.entries.size())) return;
    chosenIndex_ = 3 * answer.index + 2;
}

LegacyCertChooser::LegacyCertChooser(int32_t purpose, const std::vector<std::string>* subjectNames,
                                     const std::vector<std::string>* issuerNames)
    : purpose_(purpose), subjectNames_(subjectNames), issuerNames_(issuerNames) {}

void LegacyCertChooser::run() {
    chosenIndex_ = -1;
    const resources::DialogTemplate* dialog = resources::dialogTemplate(resources::IDD_LEGACY_CHOOSER);
    if (!dialog) return;

    ui::ChooserRequest request;
    request.dialogId = dialog->id;
    request.caption = ansiFromUtf8(purpose_ != 0 ? CAPTION_LEGACY_ENCRYPT : CAPTION_LEGACY_SIGN);
    int width = 0;
    if (purpose_ == 0) {
        request.edit = ansiFromUtf8(EDIT_TEXT);
        width = ui::measureText(request.edit);
    }
    const std::string prefix = ansiFromUtf8(ISSUER_PREFIX);
    const std::string separator = ansiFromUtf8(LEGACY_SUBJECT_SEPARATOR);
    const size_t count =
        subjectNames_ && issuerNames_ ? std::min(subjectNames_->size(), issuerNames_->size()) : size_t{0};
    for (size_t i = 0; i < count; ++i) {
        std::string entry = prefix + (*issuerNames_)[i] + separator + (*subjectNames_)[i];
        width = std::max(width, ui::measureText(entry));
        request.entries.push_back(std::move(entry));
    }
    request.width = width;

    const ui::ChooserAnswer answer = platform::context().ui().chooseCertificate(request);
    if (!answer.ok) return;
    if (answer.index < -1 || answer.index >= static_cast<int>(request.entries.size())) return;
    chosenIndex_ = answer.index;
}

}  // namespace qm
