// What provider implementations share; not for the providers' callers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/provider.h"

namespace crypto::provider_support {

// The two parts of a token message: the warning element's value, and the
// body element whole (its 5-byte header included), which is what gets
// hashed. nullopt for data that is not exactly one warning element followed
// by one body element.
struct TokenMessage {
    std::string_view warning;
    std::string_view signedPart;
};
std::optional<TokenMessage> splitTokenMessage(std::string_view data);

// The SHA-1 hash object with the token message rule. While the data seen so
// far could still be the start of a token message it is kept; as soon as it
// cannot be, it is hashed as it comes, so that large data of other kinds is
// never held in memory. A provider derives its hash object from this one
// and adds signHash.
class Sha1HashObject : public HashObject {
public:
    Sha1HashObject();
    ~Sha1HashObject() override;

    bool hashData(std::string_view data) final;
    std::optional<std::string> hashValue() final;

protected:
    // The warning text of a token message, after hashValue(); empty for
    // other data.
    const std::string& warning() const { return warning_; }

private:
    bool startStreaming();

    std::string pending_;  // the data while it may be a token message
    UniquePtr<EVP_MD_CTX> stream_;  // set once it cannot be
    std::optional<std::string> digest_;
    std::string warning_;
};

bool isKeySpec(uint32_t keySpec);

// A container name that can name a folder of its own: not empty, not "."
// or "..", no separator or NUL, at most 255 bytes.
bool isContainerName(std::string_view name);

// The built-in software provider (software_provider.cpp). `providerName` is
// the name it answers under; flags are checked already.
std::unique_ptr<ProviderContext> openSoftwareProvider(std::string providerName,
                                                      const std::optional<std::string>& container, uint32_t flags);

}  // namespace crypto::provider_support
