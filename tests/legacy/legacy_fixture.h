// A control in a home with the test PKI, and what the legacy tests read
// back: the bytes behind a plain Base64 result and the boxes the user saw.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "encoding/base64.h"
#include "encoding/compression.h"
#include "messages_fixture.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"

namespace testing_support {

class LegacyTest : public MessagesTest {
protected:
    // The message behind a legacy result: plain Base64, perhaps compressed.
    static std::string messageOf(const std::string& base64, bool* compressed = nullptr) {
        std::string bytes = encoding::decodeBase64Plain(codepage::ansiFromUtf8(base64));
        const bool expanded = qm::decompressMessage(bytes);
        if (compressed) *compressed = expanded;
        return bytes;
    }

    // The content of an attached legacy signature, "" when it does not verify.
    static std::string signedContent(const std::string& base64) {
        const auto verified = crypto::verifyMessage(messageOf(base64));
        return verified ? verified->content : std::string("(does not verify)");
    }

    // The last request the user saw, which must be a box with these texts.
    void expectLastBox(std::string_view text, std::string_view caption, std::string_view icon = "warning",
                       std::string_view buttons = "ok", std::string_view owner = "none") {
        const auto& requests = home.ui().requests();
        ASSERT_FALSE(requests.empty());
        const ui::RecordedRequest& box = requests.back();
        EXPECT_EQ(box.kind, "box");
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, caption);
        EXPECT_EQ(box.icon, icon);
        EXPECT_EQ(box.buttons, buttons);
        EXPECT_EQ(box.owner, owner);
    }

    // The legacy plaintext of one form item "ab".
    static constexpr std::string_view ITEM_AB = "0000001000000002ab00000000";
};

}  // namespace testing_support
