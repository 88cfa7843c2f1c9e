#include "platform/crypto/library.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include "platform/crypto/openssl_ptr.h"

namespace crypto {
namespace {

struct Library {
    UniquePtr<OSSL_LIB_CTX> context;
    UniquePtr<OSSL_PROVIDER> defaultProvider;
    UniquePtr<OSSL_PROVIDER> legacyProvider;

    Library() : context(OSSL_LIB_CTX_new()) {
        if (!context) return;
        defaultProvider.reset(OSSL_PROVIDER_load(context.get(), "default"));
        legacyProvider.reset(OSSL_PROVIDER_load(context.get(), "legacy"));
        // A missing legacy module is not this caller's failure.
        ERR_clear_error();
    }
};

}  // namespace

OSSL_LIB_CTX* libraryContext() {
    // Never destroyed: static destructors run in no useful order against
    // OpenSSL's own exit handler and against other static objects that
    // still hold keys or certificates made in this context.
    static Library* library = new Library();
    return library->context.get();
}

}  // namespace crypto
