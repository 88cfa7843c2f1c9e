#include <gtest/gtest.h>

#include "control/registrar.h"
#include "support/test_home.h"

using namespace testing_support;

namespace {

class RegistrarTest : public HomeTest {
protected:
    HRESULT run(std::string_view script, qm::RegistrarAction action, std::string* error = nullptr) {
        return qm::runRegistrar(home.context().registry(), script, {{"MODULE", "/opt/q/lib's.so"}}, action, error);
    }
    std::optional<registry::Value> value(const std::string& key, const char* name = "") {
        registry::Key k;
        if (home.context().registry().openKey(registry::Root::ClassesRoot, key, registry::KEY_READ, k) !=
            registry::ERROR_SUCCESS) {
            return std::nullopt;
        }
        registry::Value v;
        if (k.queryValue(name, v) != registry::ERROR_SUCCESS) return std::nullopt;
        return v;
    }
    bool exists(const std::string& key) {
        registry::Key k;
        return home.context().registry().openKey(registry::Root::ClassesRoot, key, registry::KEY_READ, k) ==
               registry::ERROR_SUCCESS;
    }
};

TEST_F(RegistrarTest, WritesTypedValuesWithReplacements) {
    const char* script = R"(HKCR
{
	App.Thing = s 'It''s %MODULE% at 100%%'
	{
		val Count = d '5000'
		val Mask = d '0x20191'
		val Blob = b '00FF10'
		'Quoted Key' = s ''
	}
})";
    ASSERT_EQ(run(script, qm::RegistrarAction::Register), S_OK);
    EXPECT_EQ(value("App.Thing")->data, "It's /opt/q/lib's.so at 100%");
    EXPECT_EQ(value("App.Thing", "Count")->type, registry::REG_DWORD);
    EXPECT_EQ(value("App.Thing", "Count")->data, std::string("\x88\x13\0\0", 4));
    EXPECT_EQ(value("App.Thing", "Mask")->data, std::string("\x91\x01\x02\0", 4));
    EXPECT_EQ(value("App.Thing", "Blob")->data, std::string("\x00\xFF\x10", 3));
    EXPECT_EQ(value("App.Thing\\Quoted Key")->data, "");
}

TEST_F(RegistrarTest, RemoveFlagsDecideWhatUnregistrationTakes) {
    const char* script = R"(HKCR
{
	NoRemove Shared
	{
		ForceRemove Ours = s 'x'
		{
			Inner = s 'y'
		}
		Plain = s 'z'
	}
})";
    ASSERT_EQ(run(script, qm::RegistrarAction::Register), S_OK);
    // Keys that others add beside and below ours.
    registry::Key k;
    auto& hive = home.context().registry();
    hive.createKey(registry::Root::ClassesRoot, "Shared\\Theirs", registry::KEY_ALL_ACCESS, k);
    hive.createKey(registry::Root::ClassesRoot, "Shared\\Ours\\Added", registry::KEY_ALL_ACCESS, k);
    hive.createKey(registry::Root::ClassesRoot, "Shared\\Plain\\Added", registry::KEY_ALL_ACCESS, k);

    ASSERT_EQ(run(script, qm::RegistrarAction::Unregister), S_OK);
    EXPECT_TRUE(exists("Shared"));                // NoRemove
    EXPECT_TRUE(exists("Shared\\Theirs"));        // not ours
    EXPECT_FALSE(exists("Shared\\Ours"));         // ForceRemove: whole tree
    EXPECT_TRUE(exists("Shared\\Plain\\Added"));  // a plain key stays while others use it
    EXPECT_FALSE(value("Shared\\Plain").has_value());

    // Registration clears a ForceRemove key before writing it again.
    hive.createKey(registry::Root::ClassesRoot, "Shared\\Ours\\Stale", registry::KEY_ALL_ACCESS, k);
    ASSERT_EQ(run(script, qm::RegistrarAction::Register), S_OK);
    EXPECT_FALSE(exists("Shared\\Ours\\Stale"));
    EXPECT_TRUE(exists("Shared\\Ours\\Inner"));
}

TEST_F(RegistrarTest, MalformedScriptsAreRefusedWithALine) {
    struct Case {
        const char* name;
        const char* script;
    } cases[] = {
        {"unknown root", "HKXX { A = s 'a' }"},
        {"missing brace", "HKCR { A = s 'a' "},
        {"unknown type", "HKCR { A = q 'a' }"},
        {"unquoted value", "HKCR { A = s a }"},
        {"unterminated string", "HKCR { A = s 'a }"},
        {"unknown replacement", "HKCR { A = s '%NOPE%' }"},
        {"bad number", "HKCR { A { val n = d '12x' } }"},
        {"odd hex", "HKCR { A { val n = b '0' } }"},
        {"path as key name", "HKCR { 'A\\B' = s 'a' }"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_TRUE(FAILED(run(c.script, qm::RegistrarAction::Register, &error)));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
