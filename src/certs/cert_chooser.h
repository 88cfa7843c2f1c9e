// The two certificate chooser dialogs: 203 for the QM members' finders, 104
// for the first-generation members. Each lists one entry per certificate,
// naming its issuer and its subject, and answers with an index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encoding/node_list.h"

namespace qm {

// Dialog 203. The candidate list holds three items per candidate: the
// subject's key value, the issuer's key value, the encoded subject name.
class CertChooser {
public:
    // `prompt` (UTF-8) becomes the caption when given.
    CertChooser(int32_t candidateCount, const NodeList* candidates, std::optional<std::string> prompt);

    void run();
    // 3 × the chosen entry + 2: the index of the chosen candidate's encoded
    // subject name in the list; -1 for Cancel or OK with nothing selected.
    int32_t chosenIndex() const { return chosenIndex_; }

private:
    int32_t candidateCount_;
    const NodeList* candidates_;
    std::optional<std::string> prompt_;
    int32_t chosenIndex_ = -1;
};

// Dialog 104. Names are ANSI display names, one pair per certificate.
class LegacyCertChooser {
public:
    // purpose 0: one's own certificate for signing; otherwise the other
    // party's for encryption.
    LegacyCertChooser(int32_t purpose, const std::vector<std::string>* subjectNames,
                      const std::vector<std::string>* issuerNames);

    void run();
    // The chosen entry, -1 for Cancel or OK with nothing selected.
    int32_t chosenIndex() const { return chosenIndex_; }

private:
    int32_t purpose_;
    const std::vector<std::string>* subjectNames_;
    const std::vector<std::string>* issuerNames_;
    int32_t chosenIndex_ = -1;
};

}  // namespace qm
