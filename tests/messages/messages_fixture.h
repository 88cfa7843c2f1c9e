// A control in a home with the test PKI, and what tests need to look inside
// the messages it makes.
#pragma once

#include <optional>
#include <string>

#include "control_fixture.h"
#include "platform/crypto/messages.h"
#include "support/test_pki.h"

namespace testing_support {

class MessagesTest : public ControlTest {
protected:
    TestPki pki{home};

    // The DER bytes of a member's Base64 result.
    static std::string der(const CallResult& result);
    // The GBK bytes of UTF-8 text, as the control signs them.
    static std::string gbk(const char* utf8);
    // The signer of a detached signature over `content`, or nullptr.
    static crypto::CertPtr detachedSigner(const CallResult& result, const std::string& content);
    static std::optional<crypto::Verified> attached(const CallResult& result);
};

}  // namespace testing_support
