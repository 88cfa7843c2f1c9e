// The message engines a bank page leans on, at the sizes pages send: a
// short transfer form (1 KiB), a statement (64 KiB) and a batch file
// (1 MiB). Signing and opening are dominated by the RSA private-key
// operation at the small end and by hashing, Base64 and RC4 at the large
// end; a cost that grows faster than the content shows up here first.
//
// Everything runs in a throw-away home with the test PKI: the signer and
// the recipient in "MY" with their keys, the recipient also in
// "AddressBook", their issuers in "CA" and "Root", so the certificate
// checks pass as they do on a customer's machine. Nobody answers the user
// interface: a request for one means the setup is wrong, and the program
// stops rather than time a cancelled dialog.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/compression.h"
#include "messages/envelopes.h"
#include "messages/signing.h"
#include "messages/verification.h"
#include "platform/crypto/store.h"
#include "support/test_home.h"
#include "support/test_pki.h"

namespace {

using testing_support::PkiCert;
using testing_support::TestHome;
using testing_support::TestPki;

const std::optional<std::string> SIGNER_DN = "CN=Bench Signer";
const std::optional<std::string> RECIPIENT_DN = "CN=Bench Recipient";
constexpr std::string_view SEPARATOR = "|";

[[noreturn]] void stop(const std::string& why) {
    std::fprintf(stderr, "bench_messages: %s\n", why.c_str());
    std::abort();
}

// A broken setup must never be timed as a fast failure.
void require(int32_t code, std::string_view engine, int64_t size) {
    if (code != 0) {
        stop(std::string(engine) + " answered " + std::to_string(code) + " for " + std::to_string(size) +
             " bytes before timing");
    }
}

struct Home {
    TestHome home;
    TestPki pki{home};
    PkiCert signer;
    PkiCert recipient;

    Home() {
        home.ui().onUnanswered([](const ui::RecordedRequest& request) {
            stop("the user interface was asked something: " + request.json);
        });
        signer = pki.user("Bench Signer").install();
        recipient = pki.user("Bench Recipient").install();
        const auto addressBook = crypto::Store::openSystem("addressbook");
        if (!addressBook || !addressBook->add(recipient.der())) stop("cannot put the recipient in AddressBook");
    }
};

Home& home() {
    static Home instance;
    return instance;
}

// Form-like ANSI text: printable, repetitive enough for compression to
// matter, not so uniform that deflate finds one long run.
std::string content(int64_t size) {
    static constexpr std::string_view line = "payee=Zhang San|account=6222020200112233445|amount=1024.00|memo=";
    std::string text;
    text.reserve(static_cast<size_t>(size));
    for (uint32_t i = 0; text.size() < static_cast<size_t>(size); ++i) {
        text += line;
        text += std::to_string(i * 2654435761u);
        text += '\n';
    }
    text.resize(static_cast<size_t>(size));
    return text;
}

std::string sign(const std::string& data, bool detached) {
    std::string message;
    uint64_t length = 0;
    require(qm::SignMessage(data, detached, SIGNER_DN, SEPARATOR, &message, length, nullptr),
            detached ? "SignMessage (detached)" : "SignMessage (attached)", static_cast<int64_t>(data.size()));
    return message;
}

void signing(benchmark::State& state, bool detached) {
    home();
    const std::string data = content(state.range(0));
    sign(data, detached);
    qm::CertInfoRecord record;
    for (auto _ : state) {
        std::string message;
        uint64_t length = 0;
        if (qm::SignMessage(data, detached, SIGNER_DN, SEPARATOR, &message, length, &record) != 0) {
            state.SkipWithError("SignMessage failed");
            break;
        }
        benchmark::DoNotOptimize(message.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_SignAttached(benchmark::State& state) { signing(state, false); }
void BM_SignDetached(benchmark::State& state) { signing(state, true); }

void verifying(benchmark::State& state, bool detached) {
    home();
    const std::string data = content(state.range(0));
    const std::string message = sign(data, detached);
    // An attached message carries its content: no input is read for it.
    const std::string_view input = detached ? std::string_view(data) : std::string_view();
    std::string extracted;
    qm::CertInfoRecord record;
    require(qm::VerifyMessage(message, input, &extracted, &record),
            detached ? "VerifyMessage (detached)" : "VerifyMessage (attached)", state.range(0));
    if (!detached && extracted != data) stop("VerifyMessage (attached) gave back other content");
    for (auto _ : state) {
        if (qm::VerifyMessage(message, input, &extracted, &record) != 0) {
            state.SkipWithError("VerifyMessage failed");
            break;
        }
        benchmark::DoNotOptimize(extracted.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_VerifyAttached(benchmark::State& state) { verifying(state, false); }
void BM_VerifyDetached(benchmark::State& state) { verifying(state, true); }

std::string seal(const std::string& data) {
    std::string envelope;
    uint64_t length = 0;
    require(qm::SealEnvelope(data, RECIPIENT_DN, SEPARATOR, &envelope, length, nullptr), "SealEnvelope",
            static_cast<int64_t>(data.size()));
    return envelope;
}

void BM_SealEnvelope(benchmark::State& state) {
    home();
    const std::string data = content(state.range(0));
    seal(data);
    for (auto _ : state) {
        std::string envelope;
        uint64_t length = 0;
        if (qm::SealEnvelope(data, RECIPIENT_DN, SEPARATOR, &envelope, length, nullptr) != 0) {
            state.SkipWithError("SealEnvelope failed");
            break;
        }
        benchmark::DoNotOptimize(envelope.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpenEnvelope(benchmark::State& state) {
    home();
    const std::string data = content(state.range(0));
    const std::string envelope = seal(data);
    std::string opened;
    uint64_t length = 0;
    require(qm::OpenEnvelope(envelope, &opened, length, nullptr), "OpenEnvelope", state.range(0));
    if (opened != data) stop("OpenEnvelope gave back other content");
    for (auto _ : state) {
        if (qm::OpenEnvelope(envelope, &opened, length, nullptr) != 0) {
            state.SkipWithError("OpenEnvelope failed");
            break;
        }
        benchmark::DoNotOptimize(opened.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The compressed form carries the Base64 text of an attached signature;
// bytes processed count that text, the side the page holds.
void BM_CompressSignedMessage(benchmark::State& state) {
    home();
    const std::string message = sign(content(state.range(0)), false);
    std::string probe = message;
    if (!qm::compressMessage(probe, 0)) stop("compressMessage left the signed message as it was");
    for (auto _ : state) {
        std::string text = message;
        if (!qm::compressMessage(text, 0)) {
            state.SkipWithError("compressMessage failed");
            break;
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
}

void BM_DecompressSignedMessage(benchmark::State& state) {
    home();
    const std::string message = sign(content(state.range(0)), false);
    std::string compressed = message;
    if (!qm::compressMessage(compressed, 0)) stop("compressMessage left the signed message as it was");
    std::string probe = compressed;
    if (!qm::decompressMessage(probe) || probe != message) stop("decompressMessage did not give the message back");
    for (auto _ : state) {
        std::string text = compressed;
        if (!qm::decompressMessage(text)) {
            state.SkipWithError("decompressMessage failed");
            break;
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
}

constexpr int64_t KIB = 1024;

void sizes(benchmark::internal::Benchmark* bench) {
    bench->Arg(KIB)->Arg(64 * KIB)->Arg(1024 * KIB)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_SignAttached)->Apply(sizes);
BENCHMARK(BM_SignDetached)->Apply(sizes);
BENCHMARK(BM_VerifyAttached)->Apply(sizes);
BENCHMARK(BM_VerifyDetached)->Apply(sizes);
BENCHMARK(BM_SealEnvelope)->Apply(sizes);
BENCHMARK(BM_OpenEnvelope)->Apply(sizes);
BENCHMARK(BM_CompressSignedMessage)->Apply(sizes);
BENCHMARK(BM_DecompressSignedMessage)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
