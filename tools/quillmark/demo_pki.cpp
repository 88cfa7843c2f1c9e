#include "demo_pki.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>

#include <filesystem>
#include <vector>

#include "platform/context/context.h"
#include "platform/crypto/certificate.h"
#include "platform/crypto/library.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/store.h"
#include "platform/files/files.h"
#include "platform/registry/registry.h"

namespace host {

namespace {

using Entries = std::vector<std::pair<const char*, const char*>>;

struct Issued {
    crypto::UniquePtr<X509> cert;
    crypto::UniquePtr<EVP_PKEY> key;
};

[[noreturn]] void failed(const std::string& what) { throw DemoPkiError("demo PKI: " + what); }

crypto::UniquePtr<EVP_PKEY> newKey() {
    crypto::UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(crypto::libraryContext(), nullptr, "RSA", size_t{2048}));
    if (!key) failed("cannot generate a key");
    return key;
}

crypto::UniquePtr<X509_NAME> makeName(const Entries& entries) {
    crypto::UniquePtr<X509_NAME> name(X509_NAME_new());
    for (const auto& [field, value] : entries) {
        if (!name || X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                                reinterpret_cast<const unsigned char*>(value), -1, -1, 0) != 1) {
            failed(std::string("cannot make the name field ") + field);
        }
    }
    return name;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    crypto::UniquePtr<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1) failed("cannot add an extension");
}

// A certificate valid from 2020 to 2049, so that the demo works on any day.
Issued issue(const Entries& subject, long serial, const Issued* issuer, bool ca) {
    Issued made;
    made.key = newKey();
    made.cert.reset(X509_new_ex(crypto::libraryContext(), nullptr));
    X509* cert = made.cert.get();
    if (!cert) failed("cannot make a certificate");
    auto name = makeName(subject);
    ASN1_TIME* notBefore = X509_getm_notBefore(cert);
    ASN1_TIME* notAfter = X509_getm_notAfter(cert);
    if (X509_set_version(cert, 2) != 1 || ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) != 1 ||
        X509_set_subject_name(cert, name.get()) != 1 ||
        X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->cert.get()) : name.get()) != 1 ||
        ASN1_TIME_set_string_X509(notBefore, "20200101000000Z") != 1 ||
        ASN1_TIME_set_string_X509(notAfter, "20491231235959Z") != 1 || X509_set_pubkey(cert, made.key.get()) != 1) {
        failed("cannot fill a certificate");
    }
    X509* signer = issuer ? issuer->cert.get() : cert;
    addExtension(cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    addExtension(cert, signer, NID_key_usage,
                 ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation,keyEncipherment");
    addExtension(cert, signer, NID_subject_key_identifier, "hash");
    if (issuer) addExtension(cert, signer, NID_authority_key_identifier, "keyid");
    if (X509_sign(cert, issuer ? issuer->key.get() : made.key.get(), EVP_sha256()) <= 0) failed("cannot sign");
    return made;
}

std::string der(X509* cert) {
    std::string bytes = crypto::encodeDer(i2d_X509, cert);
    if (bytes.empty()) failed("cannot encode a certificate");
    return bytes;
}

std::unique_ptr<crypto::Store> open(const char* name) {
    auto store = crypto::Store::openSystem(name);
    if (!store) failed(std::string("cannot open the store ") + name);
    return store;
}

// The key as the software provider keeps it: an unencrypted PKCS #8 file
// that only its owner can read, in a container folder of its own.
void writeKey(const std::string& container, EVP_PKEY* key) {
    const auto folder = platform::context().home() / "keys" / container;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) failed("cannot make the key container " + container);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    crypto::UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PKCS8PrivateKey(pem.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        failed("cannot encode a key");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    const auto file = folder / "exchange.pem";
    if (!files::writeWholeFile(file, std::string_view(data, static_cast<size_t>(size))) ||
        ::chmod(file.c_str(), 0600) != 0) {
        failed("cannot write the key of " + container);
    }
}

void installUser(const Issued& user, const std::string& container, std::ostream& out, const char* label) {
    crypto::KeyProvInfo property;
    property.providerName = "Microsoft Enhanced Cryptographic Provider v1.0";
    property.containerName = container;
    property.keySpec = crypto::AT_KEYEXCHANGE;
    writeKey(container, user.key.get());
    if (!open("my")->add(der(user.cert.get()), property)) failed(std::string("cannot store ") + label);
    out << "  my            " << label << " (key container \"" << container << "\")\n";
}

// Runs softhsm2-util with the given arguments; its output is dropped unless
// it fails.
void softhsmUtil(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "softhsm2-util");
    std::vector<char*> argv;
    for (auto& word : arguments) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) failed("softhsm2-util is not installed (Debian package softhsm2)");
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed("softhsm2-util " + arguments[1] + " failed");
}

std::filesystem::path softhsmModule() {
    for (const char* candidate : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                                  "/usr/lib64/softhsm/libsofthsm2.so", "/usr/local/lib/softhsm/libsofthsm2.so"}) {
        std::error_code error;
        if (std::filesystem::exists(candidate, error)) return candidate;
    }
    failed("the SoftHSM2 module libsofthsm2.so is not installed (Debian package softhsm2)");
}

Issued g_ca;  // the demo CA, kept for the token user

}  // namespace

void buildDemoPki(std::ostream& out) {
    out << "Demo PKI:\n";
    const Issued root = issue({{"C", "CN"}, {"O", "Quillmark Demo"}, {"CN", "Quillmark Demo Root"}}, 1, nullptr, true);
    const Issued ca = issue({{"C", "CN"}, {"O", "Quillmark Demo"}, {"CN", "Quillmark Demo CA"}}, 2, &root, true);
    if (!open("root")->add(der(root.cert.get()))) failed("cannot store the root");
    out << "  root          Quillmark Demo Root\n";
    if (!open("ca")->add(der(ca.cert.get()))) failed("cannot store the CA");
    g_ca.cert.reset(X509_dup(ca.cert.get()));
    g_ca.key.reset(EVP_PKEY_dup(ca.key.get()));
    out << "  ca            Quillmark Demo CA\n";

    const Issued user = issue({{"C", "CN"}, {"O", "Quillmark Bank"}, {"OU", "Online Banking"}, {"CN", "Demo User"}},
                              0x1001, &ca, false);
    installUser(user, "Demo User", out, "Demo User");
    // Envelopes are sealed for certificates of the other party's stores; the
    // demo user receives its own, so its certificate is in the address book.
    if (!open("addressbook")->add(der(user.cert.get()))) failed("cannot store the address book entry");
    out << "  addressbook   Demo User\n";

    const Issued teller = issue({{"C", "CN"}, {"O", "Quillmark Bank"}, {"OU", "Branch"}, {"CN", "张三"}}, 0x1002, &ca,
                                false);
    installUser(teller, "Zhang San", out, "张三");
}

void buildDemoToken(std::ostream& out) {
    if (!g_ca.cert) failed("the demo CA must be made before the token");
    const auto folder = platform::context().home() / "softhsm";
    const auto tokens = folder / "tokens";
    std::error_code error;
    std::filesystem::create_directories(tokens, error);
    const auto config = folder / "softhsm2.conf";
    if (error || !files::writeWholeFile(config, "directories.tokendir = " + tokens.string() +
                                                   "\nobjectstore.backend = file\nlog.level = ERROR\n")) {
        failed("cannot write the SoftHSM2 configuration");
    }
    // The module reads its configuration when it is first initialised, in
    // this process, by the control.
    ::setenv("SOFTHSM2_CONF", config.c_str(), 1);
    const std::filesystem::path module = softhsmModule();
    const std::string label = "Quillmark Demo Token";
    softhsmUtil({"--init-token", "--free", "--label", label, "--so-pin", "87654321", "--pin", DEMO_TOKEN_PIN});

    const Issued user = issue({{"C", "CN"}, {"O", "Quillmark Bank"}, {"OU", "Token"}, {"CN", "Token User"}}, 0x1003,
                              &g_ca, false);
    // The key goes onto the token and nowhere else: the PEM file the import
    // reads is removed right after.
    const auto keyFile = folder / "token-user-key.pem";
    {
        crypto::UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
        if (!pem || PEM_write_bio_PKCS8PrivateKey(pem.get(), user.key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            failed("cannot encode the token key");
        }
        char* data = nullptr;
        const long size = BIO_get_mem_data(pem.get(), &data);
        if (!files::writeWholeFile(keyFile, std::string_view(data, static_cast<size_t>(size))) ||
            ::chmod(keyFile.c_str(), 0600) != 0) {
            failed("cannot write the token key for its import");
        }
    }
    try {
        softhsmUtil({"--import", keyFile.string(), "--token", label, "--label", "Token User", "--id", "01", "--pin",
                     DEMO_TOKEN_PIN});
    } catch (...) {
        std::filesystem::remove(keyFile, error);
        throw;
    }
    std::filesystem::remove(keyFile, error);

    const std::string provider = "Quillmark Demo Token Provider";
    registry::Key entry;
    if (platform::context().registry().createKey(registry::Root::LocalMachine,
                                                 "SOFTWARE\\Quillmark\\Providers\\" + provider,
                                                 registry::KEY_ALL_ACCESS, entry) != registry::ERROR_SUCCESS ||
        entry.setString("Module", module.string()) != registry::ERROR_SUCCESS ||
        entry.setString("Token", label) != registry::ERROR_SUCCESS) {
        failed("cannot register the token provider");
    }
    crypto::KeyProvInfo property;
    property.providerName = provider;
    property.containerName = "Token User";
    property.keySpec = crypto::AT_KEYEXCHANGE;
    if (!open("my")->add(der(user.cert.get()), property)) failed("cannot store the token user");
    out << "  my            Token User (key on the SoftHSM2 token \"" << label << "\", PIN " << DEMO_TOKEN_PIN
        << ")\n";
}

void writeDemoFiles() {
    const auto folder = platform::context().files().map("c:\\demo");
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::string statement =
        "Quillmark demo statement\n"
        "Account 6222 0000 1234 5678\n"
        "Transfer 1,000.00 CNY to 6222 0000 8765 4321\n";
    if (error || !files::writeWholeFile(folder / "statement.txt", statement)) {
        throw DemoPkiError("cannot write the demo's files");
    }
}

}  // namespace host
