// A receiving page takes a form apart one QMGetFormItem call at a time. Each
// call leaves the rest of the package as the received text, so the cost of
// the whole walk must grow with the size of the form, not with its size
// times its item count: a form of 10,000 items comes apart in milliseconds.
#include <benchmark/benchmark.h>

#include <string>

#include "control/state/control_state.h"
#include "package/form_package.h"
#include "package/package_members.h"
#include "platform/com/owners.h"

namespace {

std::string form(int64_t items) {
    qm::FormPackage package;
    for (int64_t i = 0; i < items; ++i) package.appendItem("field " + std::to_string(i) + " = value of the field");
    package.appendFile("statement.txt", std::string(4096, 's'));
    int32_t length = 0;
    package.compose({}, &length);
    std::string text(static_cast<size_t>(length), '\0');
    package.compose(text, &length);
    return text;
}

void BM_TakeFormApart(benchmark::State& state) {
    const int64_t items = state.range(0);
    const std::string text = form(items);
    qm::ControlState control;
    for (auto _ : state) {
        control.receivedPlainText = text;
        for (int64_t i = 0; i < items; ++i) {
            com::Bstr item;
            qm::members::QMGetFormItem(control, item.out());
            benchmark::DoNotOptimize(item.get());
        }
        // The last call finds no item left and leaves the file.
        com::Bstr none;
        qm::members::QMGetFormItem(control, none.out());
        if (control.errorNum != 0 || !none.view().empty()) state.SkipWithError("the form did not come apart");
    }
    state.SetItemsProcessed(state.iterations() * items);
    state.SetComplexityN(items);
}
BENCHMARK(BM_TakeFormApart)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMillisecond)->Complexity();

// The same walk with the page reading the rest back after every item: each
// read composes the rest, which is the page's own choice to pay for.
void BM_TakeFormApartReadingTheRest(benchmark::State& state) {
    const int64_t items = state.range(0);
    const std::string text = form(items);
    qm::ControlState control;
    for (auto _ : state) {
        control.receivedPlainText = text;
        for (int64_t i = 0; i < items; ++i) {
            com::Bstr item;
            qm::members::QMGetFormItem(control, item.out());
            benchmark::DoNotOptimize(qm::settleReceivedPlainText(control));
        }
    }
    state.SetItemsProcessed(state.iterations() * items);
}
BENCHMARK(BM_TakeFormApartReadingTheRest)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
