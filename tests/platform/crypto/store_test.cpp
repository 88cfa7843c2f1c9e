#include "platform/crypto/store.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/crypto/errors.h"
#include "platform/crypto/names.h"
#include "support/test_pki.h"

using namespace crypto;
using testing_support::PkiCert;
using testing_support::readFile;
using testing_support::TestPki;
using testing_support::writeFile;

namespace {

class StoreTest : public testing_support::HomeTest {
protected:
    TestPki pki{home};
    std::filesystem::path stores = home.path() / "stores";

    std::unique_ptr<Store> open(std::string_view name) {
        auto store = Store::openSystem(name);
        EXPECT_NE(store, nullptr) << name << " error " << std::hex << getLastError();
        return store;
    }

    static std::vector<std::string> stems(const Store& store) {
        std::vector<std::string> out;
        for (const auto& cert : store.certificates()) out.push_back(cert->fileStem());
        return out;
    }

    static std::vector<std::string> displayNames(const Store& store) {
        std::vector<std::string> out;
        for (const auto& cert : store.certificates()) out.push_back(simpleDisplayName(*cert, false));
        return out;
    }
};

TEST_F(StoreTest, EnumeratesInFileNameOrderAndSkipsWhatDoesNotParse) {
    const auto a = pki.user("A").withoutKey().inNoStore().install();
    const auto b = pki.user("B").withoutKey().inNoStore().install();
    const auto c = pki.user("C").withoutKey().inNoStore().install();
    const auto folder = stores / "addressbook";
    writeFile(folder / "0002-b.cer", b.der());
    writeFile(folder / "0001-a.crt", a.pem());
    writeFile(folder / "0010-c.pem", c.keyPem() + c.pem());  // first certificate of the file
    writeFile(folder / "0006-b-upper.CER", b.der());
    writeFile(folder / "0007-a-base64.cer", a.pem());  // Base64 in a .cer, as users save them
    writeFile(folder / "0003-garbage.cer", "not a certificate");
    writeFile(folder / "0004-empty.cer", "");
    writeFile(folder / "0005-truncated.cer", a.der().substr(0, 100));
    writeFile(folder / "0008-notes.txt", a.der());
    std::filesystem::create_directories(folder / "0009-folder.cer");
    ASSERT_EQ(::mkfifo((folder / "0011-fifo.cer").c_str(), 0600), 0);  // must not block the open

    const auto store = open("AddressBook");
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->name(), "addressbook");
    EXPECT_EQ(stems(*store), (std::vector<std::string>{"0001-a", "0002-b", "0006-b-upper", "0007-a-base64", "0010-c"}));
    EXPECT_EQ(displayNames(*store), (std::vector<std::string>{"A", "B", "B", "A", "C"}));
    EXPECT_EQ(store->certificates()[0]->storeName(), "addressbook");
    EXPECT_EQ(store->certificates()[0]->der(), a.der());
}

TEST_F(StoreTest, OpeningCreatesOrRefuses) {
    const auto created = open("Fresh");
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->certificates().empty());
    EXPECT_TRUE(std::filesystem::is_directory(stores / "fresh"));

    // One store, whatever the case of its name.
    const auto root = open("ROOT");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->folder(), stores / "root");
    ASSERT_EQ(root->certificates().size(), 1u);
    EXPECT_EQ(root->certificates()[0]->der(), pki.root().der());

    writeFile(stores / "blocked", "a plain file where the store folder should be");
    struct Case {
        const char* name;
        uint32_t error;
    };
    const Case cases[] = {
        {"blocked", ERROR_PATH_NOT_FOUND},
        {"", E_INVALIDARG},      // a store has a name
        {"..", E_INVALIDARG},    // not a plain file name
        {".", E_INVALIDARG},     // not a plain file name
        {"a/b", E_INVALIDARG},   // a separator would leave the stores folder
        {"a\\b", E_INVALIDARG},  // either separator
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setLastError(0);
        EXPECT_EQ(Store::openSystem(c.name), nullptr);
        EXPECT_EQ(getLastError(), c.error);
    }
}

TEST_F(StoreTest, NoStoresFolderAtAll) {
    std::filesystem::remove_all(stores);
    writeFile(stores, "a plain file where the stores folder should be");
    setLastError(0);
    EXPECT_EQ(Store::openSystem("my"), nullptr);
    EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(StoreTest, FindsBySubjectAndIssuerWithContinuation) {
    const auto first = pki.user("Test User").install();
    const auto chinese = pki.user("\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7").install();  // 测试用户
    const auto other = pki.user("Other Person").issuedBy(pki.root()).install();
    const auto second = pki.user("Second").subject({{"C", "CN"}, {"O", "Quillmark Test"}, {"CN", "Test User"}}).install();
    const auto store = open("my");
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->certificates().size(), 4u);

    // Walks every match, then reports "not found".
    auto walk = [&](auto find) {
        std::vector<std::string> found;
        const Certificate* previous = nullptr;
        while (const CertPtr cert = find(previous)) {
            found.push_back(cert->der());
            previous = cert.get();
        }
        EXPECT_EQ(getLastError(), CRYPT_E_NOT_FOUND);
        return found;
    };
    using Ders = std::vector<std::string>;
    EXPECT_EQ(walk([&](const Certificate* p) { return store->findBySubjectName(first.cert->subjectDer(), p); }),
              (Ders{first.der(), second.der()}));
    EXPECT_EQ(walk([&](const Certificate* p) { return store->findBySubjectString(u"tEST usER", p); }),
              (Ders{first.der(), second.der()}));
    EXPECT_EQ(walk([&](const Certificate* p) { return store->findBySubjectString(u"\u6D4B\u8BD5", p); }),
              (Ders{chinese.der()}));
    EXPECT_EQ(walk([&](const Certificate* p) { return store->findBySubjectString(u"CN, quillmark", p); }),
              (Ders{first.der(), chinese.der(), other.der(), second.der()}));
    EXPECT_EQ(walk([&](const Certificate* p) { return store->findByIssuerString(u"QUILLMARK TEST CA", p); }),
              (Ders{first.der(), chinese.der(), second.der()}));
    EXPECT_EQ(walk([&](const Certificate* p) { return store->findByIssuerString(u"", p); }).size(), 4u);
    EXPECT_TRUE(walk([&](const Certificate* p) { return store->findBySubjectString(u"nobody", p); }).empty());

    // A context from another open of the same store continues where it is.
    const auto again = open("my");
    const CertPtr fromOther = again->findBySubjectString(u"test user", nullptr);
    ASSERT_NE(fromOther, nullptr);
    const CertPtr next = store->findBySubjectString(u"test user", fromOther.get());
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->der(), second.der());

    // A certificate that is not from this store cannot say where to go on.
    setLastError(0);
    EXPECT_EQ(store->findBySubjectString(u"test", Certificate::fromDer(first.der()).get()), nullptr);
    EXPECT_EQ(getLastError(), E_INVALIDARG);
}

TEST_F(StoreTest, FindsIssuerAndRecipient) {
    const auto user = pki.user("Test User").serial("00A2").install();
    const auto ca = open("ca");
    const auto my = open("my");
    const CertPtr issuer = ca->findIssuerOf(*user.cert);
    ASSERT_NE(issuer, nullptr);
    EXPECT_EQ(issuer->der(), pki.intermediate().der());
    setLastError(0);
    EXPECT_EQ(my->findIssuerOf(*user.cert), nullptr);
    EXPECT_EQ(getLastError(), CRYPT_E_NOT_FOUND);

    const CertPtr recipient = my->findByIssuerAndSerial(user.cert->issuerDer(), std::string("\x00\xA2", 2));
    ASSERT_NE(recipient, nullptr);
    EXPECT_EQ(recipient->der(), user.der());
    EXPECT_EQ(my->findByIssuerAndSerial(user.cert->issuerDer(), "\xA2"), nullptr);  // a negative number
    EXPECT_EQ(my->findByIssuerAndSerial(user.cert->subjectDer(), std::string("\x00\xA2", 2)), nullptr);
}

TEST_F(StoreTest, KeyProviderPropertyRoundTrip) {
    const auto user = pki.user("Test User").install();
    const auto signer = pki.user("Signer").keySpec(AT_SIGNATURE).container("signing keys").install();
    const auto noKey = pki.user("No Key").withoutKey().install();
    EXPECT_EQ(readFile(user.keyProvFile),
              "provider=Microsoft Enhanced Cryptographic Provider v1.0\ntype=1\ncontainer=Test User\nkeyspec=1\n");

    auto store = open("my");
    ASSERT_EQ(store->certificates().size(), 3u);
    EXPECT_EQ(store->certificates()[0]->keyProvInfo(),
              (KeyProvInfo{"Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL, "Test User", AT_KEYEXCHANGE}));
    EXPECT_EQ(store->certificates()[1]->keyProvInfo(),
              (KeyProvInfo{"Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL, "signing keys", AT_SIGNATURE}));
    EXPECT_FALSE(store->certificates()[2]->keyProvInfo().has_value());

    // A damaged property is no property; the certificate stays.
    writeFile(user.keyProvFile, "provider=x\ncontainer=\n");
    store = open("my");
    ASSERT_EQ(store->certificates().size(), 3u);
    EXPECT_FALSE(store->certificates()[0]->keyProvInfo().has_value());

    // Adding a certificate the store holds gives it the new property, no second file.
    const KeyProvInfo newInfo{"Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL, "elsewhere", AT_SIGNATURE};
    const CertPtr updated = store->add(noKey.der(), newInfo);
    ASSERT_NE(updated, nullptr);
    EXPECT_EQ(updated->file(), noKey.certFile);
    EXPECT_EQ(updated->keyProvInfo(), newInfo);
    EXPECT_EQ(store->certificates().size(), 3u);
    EXPECT_EQ(open("my")->certificates()[2]->keyProvInfo(), newInfo);

    // A property that would not read back is refused.
    setLastError(0);
    EXPECT_EQ(store->add(noKey.der(), KeyProvInfo{"P", 1, "two\nlines", 1}), nullptr);
    EXPECT_EQ(getLastError(), E_INVALIDARG);
    EXPECT_EQ(open("my")->certificates()[2]->keyProvInfo(), newInfo);
}

TEST_F(StoreTest, AddNamesFilesInOrderAndRemoveKeepsTheKey) {
    const auto a = pki.user("First User").inNoStore().install();
    const auto b = pki.user("Second/User").withoutKey().inNoStore().install();
    auto store = open("other");
    const CertPtr addedA = store->add(a.der());
    ASSERT_NE(addedA, nullptr);
    EXPECT_EQ(addedA->file().filename(), "0001-First_User.cer");
    EXPECT_EQ(readFile(addedA->file()), a.der());

    writeFile(store->folder() / "0041-by-hand.cer", "unparsable, but its number counts");
    const CertPtr addedB = store->add(b.der(), KeyProvInfo{"P", 1, "C", AT_KEYEXCHANGE});
    ASSERT_NE(addedB, nullptr);
    EXPECT_EQ(addedB->fileStem(), "0042-Second_User");
    EXPECT_EQ(stems(*store), (std::vector<std::string>{"0001-First_User", "0042-Second_User"}));

    setLastError(0);
    EXPECT_EQ(store->add("not DER"), nullptr);
    EXPECT_EQ(getLastError(), CRYPT_E_OSS_ERROR);

    ASSERT_TRUE(store->remove(*addedB));
    EXPECT_FALSE(std::filesystem::exists(addedB->file()));
    EXPECT_FALSE(std::filesystem::exists(store->folder() / "0042-Second_User.keyprov"));
    EXPECT_EQ(stems(*store), (std::vector<std::string>{"0001-First_User"}));
    setLastError(0);
    EXPECT_FALSE(store->remove(*addedB));
    EXPECT_EQ(getLastError(), CRYPT_E_NOT_FOUND);

    // Removing a user's certificate from "my" leaves its key container.
    const auto user = pki.user("Test User").install();
    auto my = open("my");
    ASSERT_TRUE(my->remove(*my->certificates()[0]));
    EXPECT_FALSE(std::filesystem::exists(user.certFile));
    EXPECT_FALSE(std::filesystem::exists(user.keyProvFile));
    EXPECT_TRUE(std::filesystem::exists(user.keyFile));
    EXPECT_TRUE(open("my")->certificates().empty());
}

TEST_F(StoreTest, RevocationListsLiveInTheIssuersStore) {
    const auto revoked = pki.user("Revoked").install();
    const auto good = pki.user("Good").install();
    EXPECT_TRUE(open("ca")->crls().empty()) << "no CRL until one is asked for";

    pki.revoke(revoked);
    auto ca = open("ca");
    ASSERT_EQ(ca->crls().size(), 1u);
    const CrlPtr crl = ca->crls()[0];
    EXPECT_EQ(crl->issuerDer(), pki.intermediate().cert->subjectDer());
    EXPECT_EQ(crl->storeName(), "ca");
    EXPECT_TRUE(crl->lists(revoked.cert->serialNumber()));
    EXPECT_FALSE(crl->lists(good.cert->serialNumber()));
    EXPECT_TRUE(open("root")->crls().empty());

    // A newer list of the same issuer replaces the old one in its file.
    pki.revoke(good);
    ca = open("ca");
    ASSERT_EQ(ca->crls().size(), 1u);
    EXPECT_EQ(ca->crls()[0]->file(), crl->file());
    EXPECT_TRUE(ca->crls()[0]->lists(good.cert->serialNumber()));

    // An older one does not.
    setLastError(0);
    EXPECT_EQ(ca->addCrl(crl->der()), nullptr);
    EXPECT_EQ(getLastError(), CRYPT_E_EXISTS);
    EXPECT_TRUE(open("ca")->crls()[0]->lists(good.cert->serialNumber()));

    // PEM lists are found too, and other files beside them do not disturb.
    const CrlPtr rootCrl = pki.crlFor(pki.root());
    const auto root = open("root");
    ASSERT_EQ(root->crls().size(), 1u);
    writeFile(stores / "root" / "9999-by-hand.crl",
              "-----BEGIN X509 CRL-----\n" + std::string("AAAA") + "\n-----END X509 CRL-----\n");
    std::string pem;
    {
        UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_X509_CRL(bio.get(), rootCrl->x509Crl());
        const char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        pem = std::string(data, static_cast<size_t>(length));
    }
    writeFile(stores / "addressbook" / "0001-root.crl", pem);
    const auto addressbook = open("addressbook");
    ASSERT_EQ(addressbook->crls().size(), 1u);
    EXPECT_EQ(addressbook->crls()[0]->der(), rootCrl->der());
    EXPECT_EQ(open("root")->crls().size(), 1u);
}

}  // namespace
