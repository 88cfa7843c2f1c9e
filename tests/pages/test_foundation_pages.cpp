// The control as a page sees it: created through the registry, called by
// name, registered and unregistered by the host.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/host_runner.h"

using namespace testing_support;

namespace {

constexpr std::string_view CREATE = "var q = new ActiveXObject('Quillmark.KestrinQuillmark');\n";

TEST_F(PageTest, Base64AndErrorsThroughThePage) {
    const HostRun run = page(std::string(CREATE) +
                             "print(escape(q.QMBase64Encode('abc')));\n"
                             "print(q.QMBase64Encode('\u4e2d\u6587'));\n"
                             "print(q.QMBase64Decode('YWJ') === '', q.errorNum, q.errMsg);\n"
                             "print(q.QMBase64Decode(null) === '', q.errorNum, q.errMsg);\n"
                             "print(q.MaxSignSize, q.MaxCompSize);\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "YWJj%0A\n"
              "1tDOxA==\n\n"
              "true -10002 Base64解码失败\n"
              "true -10001 源数据为空\n"
              "5120000 51200\n");
}

TEST_F(PageTest, ReadOnlyHiveGivesTheLargestLimit) {
    ASSERT_EQ(::chmod((home.path() / "registry.reg").c_str(), 0444), 0);
    const HostRun run = page(std::string(CREATE) + "print(q.MaxSignSize);\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "10240000\n");
}

TEST_F(PageTest, UnknownNamesAndUnusedIdentifiersAreScriptErrors) {
    const HostRun run = page(std::string(CREATE) +
                             "print(Host.dispatchId(q, 'errorNum'), Host.dispatchId(q, 'QMBase64Encode'),\n"
                             "      Host.dispatchId(q, 'QMFileHashAndBase64Encode'));\n"
                             "q.QMNoSuchThing('x');\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "11 30 68\n");
    EXPECT_NE(run.err.find("page.js:4: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Object doesn't support this property or method"), std::string::npos) << run.err;
}

TEST_F(PageTest, UnregisteredControlCannotBeCreated) {
    ASSERT_EQ(host({"unregister"}).exitCode, 0);
    registry::Key key;
    auto& hive = home.context().registry();
    EXPECT_NE(hive.openKey(registry::Root::ClassesRoot, "Quillmark.KestrinQuillmark", registry::KEY_READ, key),
              registry::ERROR_SUCCESS);
    EXPECT_NE(hive.openKey(registry::Root::ClassesRoot, "CLSID\\{A25B21AD-FE66-44A5-8F45-B3A22F16E983}",
                           registry::KEY_READ, key),
              registry::ERROR_SUCCESS);
    const HostRun run = page(CREATE);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Automation server can't create object: Quillmark.KestrinQuillmark is not registered"),
              std::string::npos)
        << run.err;
}

}  // namespace
