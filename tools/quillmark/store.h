// `quillmark store ...`: what is in the home's certificate stores and key
// containers, and the way certificates, CRLs and keys get there.
//
//   store list [STORE]
//   store import FILE [--store NAME] [--password P] [--container NAME] [--protect PASSPHRASE]
//   store import CERTFILE --provider NAME --container LABEL
//   store remove STORE FILESTEM
//   store provider add NAME --module PATH [--slot N | --token LABEL]
//   store provider list
//   store provider remove NAME
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
//   with --provider      one certificate (PEM or DER) to "my", its
//                        key-provider property naming that registered
//                        provider and the key's label (or hex id) on its
//                        token; the provider must find the key there,
//                        without a PIN; no key file is written
//
// A key container is never overwritten, and remove never touches one.
//
// Providers are the registry's entries
// HKEY_LOCAL_MACHINE\SOFTWARE\Quillmark\Providers\<name> (Module, Slot,
// Token); add never replaces one, and remove leaves the certificates that
// name it alone. list shows where each key stands: for the software
// provider whether its key file is there, for any other whether the
// provider finds the key (asked silently: no PIN).
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
