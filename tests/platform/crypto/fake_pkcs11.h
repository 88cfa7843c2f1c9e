// A PKCS #11 module that a test steers, for what SoftHSM2 will not do on
// request: lock a PIN, vanish between two calls, insist on a PIN for every
// signature, or be initialised by someone else first. It counts what it is
// asked, so a test sees how a module is used.
//
// One slot (FAKE_SLOT) with the token "Fake Token" and one key: a private
// and a public key object, label "fake key", id 01. Signatures are the
// input reversed, which is enough to tell that it was the input that got
// signed.
//
// The test reaches the module's state through the function
// `fakePkcs11State` (dlsym it from the same library the provider loads), and
// `fakePkcs11Reset` puts the module back as it was loaded: the library stays
// in the process from one test to the next.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

struct FakePkcs11State {
    // What the module answers.
    bool tokenPresent = true;
    bool initialisedElsewhere = false;  // C_Initialize answers CKR_CRYPTOKI_ALREADY_INITIALIZED
    bool alwaysAuthenticate = false;    // CKA_ALWAYS_AUTHENTICATE of the private key
    CK_RV userLogin = CKR_OK;           // C_Login as CKU_USER, once the PIN is right
    std::string pin = "0000";

    // What it was asked.
    int initialiseCalls = 0;
    int finaliseCalls = 0;
    int openSessions = 0;
    int logins = 0;  // successful CKU_USER logins
    int logouts = 0;
    int contextLogins = 0;  // CKU_CONTEXT_SPECIFIC, each after an operation started
    int signatures = 0;
};

constexpr CK_SLOT_ID FAKE_SLOT = 3;

extern "C" FakePkcs11State* fakePkcs11State();
extern "C" void fakePkcs11Reset();
