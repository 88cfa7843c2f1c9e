// `quillmark store ...`: what is in the home's certificate stores and key
// containers, and the way certificates, CRLs and keys get there.
//
//   store list [STORE]
//   store import FILE [--store NAME] [--password P] [--container NAME] [--protect PASSPHRASE]
//   store remove STORE FILESTEM
//
// import reads PEM (certificates and CRLs, any number of blocks), DER (one
// certificate or CRL) or PKCS #12 (a certificate with its private key, and
// perhaps its issuers). Where things go:
//
//   certificate          --store when given; else a self-signed CA
//                        certificate to "root", another CA certificate to
//                        "ca", anything else to "my"
//   CRL                  the store of its issuer's certificate ("ca", else
//                        "root"); an error when neither holds the issuer
//   PKCS #12             the certificate to "my" with its key in a new key
//                        container of the software provider; the CA
//                        certificates beside it to "root" (self-signed) or
//                        "ca"
//
// A key container is never overwritten, and remove never touches one.
#pragma once

#include <span>
#include <string>

namespace host {

// Runs `quillmark store` with the words after "store" and answers the exit
// status: EXIT_OK; EXIT_FAILED when something could not be done (a wrong
// password, a key container that exists already, a store that cannot be
// written, a CRL whose issuer is in no store); EXIT_USAGE for a bad command
// line or an import file that cannot be read or holds nothing importable,
// and then nothing was changed.
int storeCommand(std::span<const std::string> words);
// The same over the context already installed (the demo's home).
int runStoreCommand(std::span<const std::string> words);

}  // namespace host
