// A SoftHSM2 token made for a test, in the test's own home:
//
//   testing_support::SoftHsm hsm(home);            // <home>/softhsm/, SOFTHSM2_CONF exported
//   const auto slot = hsm.initToken("Quillmark Token");
//   hsm.importKey("Quillmark Token", user, "signing key", "01");
//   hsm.registerProvider("Quillmark Token CSP", {.token = "Quillmark Token"});
//   testing_support::installTokenCertificate(user, "Quillmark Token CSP", "signing key");
//
// The configuration file and the token folder live under <home>/softhsm/,
// so no test ever sees another's tokens or the machine's. SOFTHSM2_CONF is
// set for this process (the module reads it when it is initialised) and
// put back as it was when the object goes; child processes inherit it, and
// environment() gives the line for a child started with an environment of
// its own. softhsm2-util is found on PATH; its absence, or of the module,
// is a broken test machine (scripts/setup installs softhsm2), reported by
// throwing std::runtime_error, as is every failure to set the token up.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/certificate.h"
#include "support/test_home.h"
#include "support/test_pki.h"

namespace testing_support {

inline constexpr char SOFTHSM_MODULE[] = "/usr/lib/softhsm/libsofthsm2.so";
inline constexpr char TOKEN_PIN[] = "1234";
inline constexpr char TOKEN_SO_PIN[] = "12345678";

// A provider entry of the registry (HKEY_LOCAL_MACHINE\SOFTWARE\Quillmark\Providers\<name>).
struct TokenProviderEntry {
    std::string module = SOFTHSM_MODULE;
    std::optional<std::string> token = std::nullopt;  // "Token"
    std::optional<uint32_t> slot = std::nullopt;      // "Slot", a DWORD
};

class SoftHsm {
public:
    explicit SoftHsm(TestHome& home);
    ~SoftHsm();
    SoftHsm(const SoftHsm&) = delete;
    SoftHsm& operator=(const SoftHsm&) = delete;

    const std::filesystem::path& configFile() const { return config_; }
    const std::filesystem::path& tokenFolder() const { return tokens_; }
    // "SOFTHSM2_CONF=<configFile()>".
    std::string environment() const;

    // Initialises a token in the first free slot and answers the slot
    // SoftHSM2 reassigns it to.
    unsigned long initToken(const std::string& label, const std::string& pin = TOKEN_PIN);
    // Imports the certificate's private key (PKCS #8) onto the token, with
    // its public key unless told not to.
    void importKey(const std::string& token, const PkiCert& cert, const std::string& label, const std::string& idHex,
                   bool withPublicKey = true, const std::string& pin = TOKEN_PIN);

    // Writes the provider entry into the home's registry.
    void registerProvider(const std::string& name, const TokenProviderEntry& entry);

    // Runs softhsm2-util with these arguments; throws unless it succeeds.
    std::string util(const std::vector<std::string>& arguments);

private:
    TestHome& home_;
    std::filesystem::path folder_;
    std::filesystem::path config_;
    std::filesystem::path tokens_;
    std::optional<std::string> previous_;  // SOFTHSM2_CONF before
    unsigned imports_ = 0;
};

// Writes a provider entry into the home's registry.
void registerTokenProvider(TestHome& home, const std::string& name, const TokenProviderEntry& entry);

// Adds the certificate to store "my" of the current context, with a
// key-provider property that names `provider` and the key's label.
crypto::CertPtr installTokenCertificate(const PkiCert& cert, const std::string& provider, const std::string& keyLabel,
                                        uint32_t keySpec = crypto::AT_SIGNATURE);

}  // namespace testing_support
