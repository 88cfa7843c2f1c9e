// The quillmark host end to end: the real executable, a fresh home for every
// test, and a fake in-process module registered into it.

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "support/host_runner.h"
#include "support/test_home.h"

namespace {

using testing_support::HostRun;
using testing_support::readFile;
using testing_support::runHost;
using testing_support::writeFile;

std::filesystem::path binFolder() { return testing_support::buildBin(); }

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-host-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        const HostRun registered = host({"register", "--module", (binFolder() / "libqm_fake_module.so").string()});
        ASSERT_EQ(registered.exitCode, 0) << registered.err;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    HostRun host(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
        HostRun run = runHost(home_, arguments, environment);
        // Whatever the page did, the host releases every object before it
        // lets the module go.
        EXPECT_EQ(run.err.find("still alive"), std::string::npos) << run.err;
        return run;
    }

    // Runs `script` as page.js with the options given before the page.
    HostRun page(const std::string& script, std::vector<std::string> options = {},
             const std::vector<std::string>& environment = {}) {
        writeFile(home_ / "page.js", script);
        options.insert(options.begin(), "run");
        options.push_back((home_ / "page.js").string());
        return host(options, environment);
    }

    std::string pageName() const { return (home_ / "page.js").string(); }

    std::filesystem::path home_;
};

constexpr const char* CREATE = "var o = new ActiveXObject('Fake.Object');\n";

TEST_F(HostTest, RegistrationMakesEveryProgIdCreatableAndUnregistrationRemovesThem) {
    // Fake.Object.1 has only a CLSID, Fake.Versioned only a CurVer.
    const std::string script =
        "var names = ['Fake.Object', 'Fake.Object.1', 'Fake.Versioned'];\n"
        "for (var i = 0; i < names.length; ++i) print(names[i], new ActiveXObject(names[i]).Echo('made'));\n";
    const HostRun created = page(script);
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_EQ(created.out, "Fake.Object made\nFake.Object.1 made\nFake.Versioned made\n");

    const HostRun unregistered = host({"unregister", "--module", (binFolder() / "libqm_fake_module.so").string()});
    ASSERT_EQ(unregistered.exitCode, 0) << unregistered.err;
    const HostRun refused = page(script);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, pageName() +
                               ":2: Automation server can't create object: Fake.Object is not registered (0x80040154)\n");
}

TEST_F(HostTest, TextCrossesTheAutomationEdgeUnchanged) {
    // Chinese text, a character outside the BMP written both literally and as
    // a surrogate pair, and a lone surrogate, which UTF-16 can hold.
    const HostRun run = page(std::string(CREATE) +
                         "var s = '中文签名😀';\n"
                         "var r = o.Echo(s);\n"
                         "print(r, r === s, r.length, r === '中文签名\\uD83D\\uDE00');\n"
                         "print(o.Describe(s));\n"
                         "var made = o.Make('text');\n"
                         "print(made, made.length);\n"
                         "print(o.Describe('\\uD800x'), o.Echo('\\uD800') === '\\uD800');\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "中文签名😀 true 6 true\n"
              "BSTR[4e2d 6587 7b7e 540d d83d de00]\n"
              "中文😀 4\n"
              "BSTR[d800 0078] true\n");
}

TEST_F(HostTest, ArgumentsAndResultsTakeTheAutomationTypesTheControlExpects) {
    const HostRun run = page(std::string(CREATE) +
                         "print(o.Describe(1, -1, 2147483647, 2147483648, 4294967295, 4294967296, 1.5, -0,\n"
                         "                 true, false, null, undefined, '', o));\n"
                         "print('[' + o.Describe() + ']', '[' + o.Echo() + ']', '[' + o.Echo(null) + ']');\n"
                         "print(o.Make('null') === null, o.Make('empty') === undefined, o.Make('i4'),\n"
                         "      o.Make('ui4'), o.Make('r8'), o.Make('true') === true);\n"
                         "var child = o.Make('child');\n"
                         "child.Count = 5;\n"
                         "print(child.Echo('nested'), child.Count, o.Count, o.Describe(child));\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "I4(1) I4(-1) I4(2147483647) UI4(2147483648) UI4(4294967295) R8(4.29497e+09) R8(1.5) I4(0) "
              "BOOL(-1) BOOL(0) NULL EMPTY BSTR[] DISPATCH\n"
              "[] [] []\n"
              "true true -5 4294967295 2.5 true\n"
              "nested 5 0 DISPATCH\n");
}

TEST_F(HostTest, PropertiesReadAndWriteThroughTheirDispatchId) {
    const HostRun run = page(std::string(CREATE) +
                         "print(o.Count);\n"
                         "o.Count = 42;\n"
                         "print(o.Count);\n"
                         "o.Count = '7';\n"
                         "print(o.Count, Host.dispatchId(o, 'Count'), Host.dispatchId(o, 'Broken'));\n"
                         "o.Count = 'seven';\n"
                         "print('not reached');\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "0\n42\n7 3 4\n");
    EXPECT_EQ(run.err, pageName() + ":7: Count: Type mismatch (0x80020005)\n");
}

TEST_F(HostTest, ScriptErrorsNameTheFileAndLine) {
    struct Case {
        const char* name;
        std::string script;
        std::string error;  // after "page.js:"
    };
    const Case cases[] = {
        {"unknown member", std::string(CREATE) + "print('before');\no.Nope();\nprint('after');\n",
         "3: Object doesn't support this property or method: Nope"},
        {"member answering E_NOTIMPL", std::string(CREATE) + "\no.Broken();\nprint('after');\n",
         "3: Broken: Not implemented (0x80004001)"},
        {"unknown name asked of Host.dispatchId", std::string(CREATE) + "Host.dispatchId(o, 'Nope');\n",
         "2: Object doesn't support this property or method: Nope"},
        {"inside a function called from elsewhere",
         std::string(CREATE) + "function f() {\n  return o.Nope;\n}\nprint('before');\nf();\nprint('after');\n",
         "3: Object doesn't support this property or method: Nope"},
        // A script value with no automation form.
        {"plain object as argument", std::string(CREATE) + "o.Describe({});\n", "2: Describe: Type mismatch (0x80020005)"},
        {"syntax error", "var x = 1;\nvar y = ;\nprint('after');\n", "2: SyntaxError: "},
        {"thrown by the page", "print('before');\n\nthrow new Error('stop here');\n", "3: stop here"},
        {"ActiveXObject without a ProgID", "new ActiveXObject();\n", "1: TypeError: ActiveXObject needs a ProgID"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HostRun run = page(c.script);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err.rfind(pageName() + ":" + c.error, 0), 0u) << run.err;
        EXPECT_EQ(run.out.find("after"), std::string::npos);
    }

    // A page may catch what the host throws, as a page in a browser can.
    const HostRun caught = page(std::string(CREATE) + "try { o.Nope(); } catch (e) { print('caught:', e.message); }\n");
    EXPECT_EQ(caught.exitCode, 0) << caught.err;
    EXPECT_EQ(caught.out, "caught: Object doesn't support this property or method: Nope\n");
}

TEST_F(HostTest, ObjectsThatCannotBeScriptedAreRefused) {
    // A class whose module is gone.
    {
        registry::Hive hive(home_ / "registry.reg");
        registry::Key key;
        ASSERT_EQ(hive.createKey(registry::Root::ClassesRoot, "Fake.Missing\\CLSID", registry::KEY_WRITE, key), 0);
        ASSERT_EQ(key.setString("", "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"), 0);
        ASSERT_EQ(hive.createKey(registry::Root::ClassesRoot,
                                 "CLSID\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\\InprocServer32", registry::KEY_WRITE,
                                 key),
                  0);
        ASSERT_EQ(key.setString("", (home_ / "gone.so").string()), 0);
        ASSERT_EQ(hive.createKey(registry::Root::ClassesRoot, "Fake.BadClsid\\CLSID", registry::KEY_WRITE, key), 0);
        ASSERT_EQ(key.setString("", "not a class id"), 0);
    }
    struct Case {
        const char* name;
        std::string progId;  // as written in the script
        std::vector<std::string> environment;
        std::string error;  // after the common prefix
    };
    const Case cases[] = {
        {"not registered", "No.Such", {}, "No.Such is not registered (0x80040154)"},
        // A ProgID is one key name; a separator would reach into another key.
        {"ProgID with a key separator", "Fake.Object\\\\CLSID", {}, "\"Fake.Object\\CLSID\" is not a ProgID (0x800401F3)"},
        // The CLSID value must be a braced class identifier.
        {"invalid class identifier", "Fake.BadClsid", {}, "Fake.BadClsid names an invalid class identifier"},
        {"module missing", "Fake.Missing", {}, "cannot load " + (home_ / "gone.so").string()},
        {"no IObjectSafety", "Fake.Object", {"QUILLMARK_FAKE_SAFETY=absent"},
         "Fake.Object is not marked safe for scripting (0x80004002)"},
        {"safety options refused", "Fake.Object", {"QUILLMARK_FAKE_SAFETY=refuse"},
         "Fake.Object refused to be scripted safely (0x80004005)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HostRun run = page("print('before');\nvar o = new ActiveXObject('" + c.progId + "');\nprint('after');\n", {},
                             c.environment);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "before\n");
        const std::string prefix = pageName() + ":2: Automation server can't create object: ";
        EXPECT_EQ(run.err.rfind(prefix + c.error, 0), 0u) << run.err;
    }
}

TEST_F(HostTest, ObjectsAreReleasedBeforeTheModuleUnloads) {
    // References kept in globals, closures, method functions, child objects,
    // cycles through script objects, and a run that ends in an error.
    const std::string keep = std::string(CREATE) +
                             "var child = o.Make('child');\n"
                             "var echo = child.Echo;\n"
                             "var ring = {object: o};\nring.self = ring;\n"
                             "var later = (function (x) { return function () { return x.Count; }; })(child);\n"
                             "print(echo('kept'), later(), o.Describe(child, o));\n";
    const HostRun ended = page(keep);
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    EXPECT_EQ(ended.out, "kept 0 DISPATCH DISPATCH\n");
    const HostRun failed = page(keep + "o.Broken();\n");
    EXPECT_EQ(failed.exitCode, 1);
}

TEST_F(HostTest, AnswersFileAnswersRequestsAndTheLogRecordsEach) {
    writeFile(home_ / "answers.txt", "yes\n\n");
    const std::string log = (home_ / "ui.log").string();
    const HostRun run = page(std::string(CREATE) + "print(o.Confirm('first'), o.Confirm('second'));\n",
                         {"--answers", (home_ / "answers.txt").string(), "--ui-log", log});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // The second request finds no answer left: the safe default, and a note.
    EXPECT_EQ(run.out, "yes no\n");
    EXPECT_NE(run.err.find("no answer left"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(log),
              "{\"kind\":\"box\",\"caption\":\"Fake\",\"text\":\"first\",\"buttons\":\"yesno\",\"icon\":\"question\","
              "\"owner\":\"none\",\"answer\":\"yes\"}\n"
              "{\"kind\":\"box\",\"caption\":\"Fake\",\"text\":\"second\",\"buttons\":\"yesno\",\"icon\":\"question\","
              "\"owner\":\"none\",\"answer\":\"unanswered\"}\n");

    // The log is appended to, run after run.
    const HostRun again = page(std::string(CREATE) + "o.Confirm('third');\n", {"--ui-log", log});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    // Without answers the console answers; without a terminal, No.
    EXPECT_EQ(readFile(log).substr(readFile(log).rfind("{\"kind\"")),
              "{\"kind\":\"box\",\"caption\":\"Fake\",\"text\":\"third\",\"buttons\":\"yesno\",\"icon\":\"question\","
              "\"owner\":\"none\",\"answer\":\"no\"}\n");
}

TEST_F(HostTest, InputsOfTheHostAreCheckedBeforeThePageRuns) {
    writeFile(home_ / "answers.txt", "yes\nperhaps\n");
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string error;
    };
    const Case cases[] = {
        {"answers line that is not an answer", {"--answers", (home_ / "answers.txt").string()},
         (home_ / "answers.txt").string() + ":2: not an answer"},
        {"answers file missing", {"--answers", (home_ / "none.txt").string()}, "cannot read the answers file"},
        {"log that cannot be opened", {"--ui-log", (home_ / "no" / "such" / "ui.log").string()}, "cannot open the log"},
        {"unknown option", {"--verbose", "yes"}, "unknown option --verbose"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HostRun run = page("print('ran');\n", c.options);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    }
}

TEST_F(HostTest, DemoWantsAnEmptyHome) {
    writeFile(home_ / "occupied" / "file", "x");
    const HostRun run = host({"demo", "--home", (home_ / "occupied").string()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("must be an empty or absent folder"), std::string::npos) << run.err;
}

TEST_F(HostTest, DemoRunsTheBundledPagesAgainstTheControl) {
    if (!std::filesystem::exists(binFolder() / "libquillmark.so")) FAIL() << "the control module is not built";
    const HostRun run = host({"demo", "--home", (home_ / "demo").string()});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("== 01_base64.js =="), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(home_ / "demo" / "registry.reg"));
}

}  // namespace
