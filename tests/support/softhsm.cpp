#include "support/softhsm.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "platform/context/context.h"
#include "platform/crypto/store.h"
#include "platform/registry/registry.h"
#include "support/process.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

constexpr char CONFIG_VARIABLE[] = "SOFTHSM2_CONF";

fs::path findOnPath(std::string_view program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const size_t end = rest.find(':');
        const std::string_view folder = rest.substr(0, end);
        const fs::path candidate = fs::path(folder.empty() ? "." : std::string(folder)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    throw std::runtime_error(std::string(program) + " is not on PATH; scripts/setup installs softhsm2");
}

}  // namespace

SoftHsm::SoftHsm(TestHome& home)
    : home_(home), folder_(home.path() / "softhsm"), config_(folder_ / "softhsm2.conf"), tokens_(folder_ / "tokens") {
    if (::access(SOFTHSM_MODULE, R_OK) != 0) {
        throw std::runtime_error(std::string(SOFTHSM_MODULE) + " is missing; scripts/setup installs softhsm2");
    }
    fs::create_directories(tokens_);
    writeFile(config_, "directories.tokendir = " + tokens_.string() +
                           "\n"
                           "objectstore.backend = file\n"
                           "log.level = ERROR\n"
                           "slots.removable = false\n");
    if (const char* previous = std::getenv(CONFIG_VARIABLE)) previous_ = previous;
    ::setenv(CONFIG_VARIABLE, config_.c_str(), 1);
}

SoftHsm::~SoftHsm() {
    if (previous_) {
        ::setenv(CONFIG_VARIABLE, previous_->c_str(), 1);
    } else {
        ::unsetenv(CONFIG_VARIABLE);
    }
}

std::string SoftHsm::environment() const { return std::string(CONFIG_VARIABLE) + "=" + config_.string(); }

std::string SoftHsm::util(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{findOnPath("softhsm2-util").string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    const ProcessRun run = runProcess(words, folder_ / "run");
    if (run.exitCode != 0) {
        std::string command;
        for (const auto& word : words) command += " " + word;
        throw std::runtime_error("softhsm2-util failed (" + std::to_string(run.exitCode) + "):" + command + "\n" +
                                 run.out + run.err);
    }
    return run.out;
}

unsigned long SoftHsm::initToken(const std::string& label, const std::string& pin) {
    const std::string out =
        util({"--init-token", "--free", "--label", label, "--so-pin", TOKEN_SO_PIN, "--pin", pin});
    constexpr std::string_view said = "reassigned to slot ";
    const size_t at = out.find(said);
    const size_t digits = at == std::string::npos ? std::string::npos : at + said.size();
    if (digits == std::string::npos || digits >= out.size() || out[digits] < '0' || out[digits] > '9') {
        throw std::runtime_error("softhsm2-util --init-token did not say the slot: " + out);
    }
    return std::stoul(out.substr(digits));
}

void SoftHsm::importKey(const std::string& token, const PkiCert& cert, const std::string& label,
                        const std::string& idHex, bool withPublicKey, const std::string& pin) {
    const fs::path file = folder_ / ("import-" + std::to_string(++imports_) + ".pem");
    writeFile(file, cert.keyPem());
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    std::vector<std::string> arguments{"--import", file.string(), "--token", token, "--label",
                                       label,      "--id",        idHex,         "--pin",   pin};
    if (!withPublicKey) arguments.push_back("--no-public-key");
    try {
        util(arguments);
    } catch (...) {
        fs::remove(file);
        throw;
    }
    fs::remove(file);
}

void SoftHsm::registerProvider(const std::string& name, const TokenProviderEntry& entry) {
    registerTokenProvider(home_, name, entry);
}

void registerTokenProvider(TestHome& home, const std::string& name, const TokenProviderEntry& entry) {
    registry::Key key;
    auto check = [&](registry::LSTATUS status, const char* what) {
        if (status != registry::ERROR_SUCCESS) {
            throw std::runtime_error("cannot register provider " + name + ": " + what + " (" +
                                     std::to_string(status) + ")");
        }
    };
    check(home.context().registry().createKey(registry::Root::LocalMachine,
                                               "SOFTWARE\\Quillmark\\Providers\\" + name, registry::KEY_ALL_ACCESS,
                                               key),
          "key");
    check(key.setString("Module", entry.module), "Module");
    if (entry.token) check(key.setString("Token", *entry.token), "Token");
    if (entry.slot) check(key.setDword("Slot", *entry.slot), "Slot");
}

crypto::CertPtr installTokenCertificate(const PkiCert& cert, const std::string& provider, const std::string& keyLabel,
                                        uint32_t keySpec) {
    const auto my = crypto::Store::openSystem("my");
    if (!my) throw std::runtime_error("cannot open store my");
    crypto::CertPtr stored = my->add(cert.der(), crypto::KeyProvInfo{provider, crypto::PROV_RSA_FULL, keyLabel, keySpec});
    if (!stored) throw std::runtime_error("cannot add " + cert.label + " to store my");
    return stored;
}

}  // namespace testing_support
