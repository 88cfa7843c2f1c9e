#include "messages_fixture.h"

#include "encoding/base64.h"
#include "platform/codepage/codepage.h"

namespace testing_support {

std::string MessagesTest::der(const CallResult& result) {
    std::string bytes;
    EXPECT_EQ(encoding::decodeBase64Wrapped(codepage::ansiFromUtf8(result.text()), bytes), 0);
    return bytes;
}

std::string MessagesTest::gbk(const char* utf8) { return codepage::ansiFromUtf8(utf8); }

crypto::CertPtr MessagesTest::detachedSigner(const CallResult& result, const std::string& content) {
    return crypto::verifyDetachedMessage(der(result), content);
}

std::optional<crypto::Verified> MessagesTest::attached(const CallResult& result) {
    return crypto::verifyMessage(der(result));
}

}  // namespace testing_support
