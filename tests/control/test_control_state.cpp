#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "control/state/identity.h"
#include "control_fixture.h"

using namespace testing_support;

namespace {

class ControlStateTest : public HomeTest {
protected:
    void setMaxsize(std::optional<uint32_t> kilobytes) {
        registry::Key key;
        ASSERT_EQ(home.context().registry().createKey(registry::Root::LocalMachine, qm::settingsKeyPath(),
                                                      registry::KEY_ALL_ACCESS, key),
                  registry::ERROR_SUCCESS);
        if (kilobytes) {
            ASSERT_EQ(key.setDword("maxsize", *kilobytes), registry::ERROR_SUCCESS);
        }
    }
    int32_t newMaxSignSize() {
        auto control = newControl();
        return get(control.get(), "MaxSignSize").number();
    }
};

TEST_F(ControlStateTest, NewObjectStartsFromItsDefaults) {
    setMaxsize(5000);
    auto control = newControl();
    EXPECT_EQ(errorNum(control.get()), 0);
    EXPECT_EQ(errMsg(control.get()), "");
    EXPECT_EQ(get(control.get(), "MaxCompSize").number(), 51200);
    EXPECT_EQ(get(control.get(), "MaxSignSize").number(), 5120000);
}

TEST_F(ControlStateTest, MaxsizeSettingIsReadWithFullAccess) {
    struct Case {
        const char* name;
        std::optional<uint32_t> maxsize;
        int32_t expected;
    } cases[] = {
        {"registered default", 5000, 5120000},
        {"above the cap", 20000, 10240000},
        {"zero", 0, 0},
        {"product would wrap 32 bits", 0x00400001u, 10240000},
        {"key without the value", std::nullopt, 10240000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setMaxsize(c.maxsize);
        if (!c.maxsize) {
            registry::Key key;
            home.context().registry().openKey(registry::Root::LocalMachine, qm::settingsKeyPath(),
                                              registry::KEY_ALL_ACCESS, key);
            key.deleteValue("maxsize");
        }
        EXPECT_EQ(newMaxSignSize(), c.expected);
    }
}

TEST_F(ControlStateTest, ReadOnlyHiveFallsBackToTheCap) {
    setMaxsize(5000);
    ASSERT_EQ(::chmod(home.context().registry().file().c_str(), 0444), 0);
    EXPECT_EQ(newMaxSignSize(), 10240000);
}

TEST_F(ControlTest, SizeLimitsKeepOnlySensibleValues) {
    struct Case {
        const char* property;
        int32_t written;
        int32_t expected;
    } cases[] = {
        {"MaxSignSize", 10239999, 10239999},
        {"MaxSignSize", 10240000, 10240000},
        {"MaxSignSize", 2147483647, 10240000},  // capped
        {"MaxSignSize", 0, 10240000},           // ignored: keeps the last value
        {"MaxSignSize", -5, 10240000},          // ignored
        {"MaxCompSize", 1, 1},
        {"MaxCompSize", -1, 1},  // ignored
        {"MaxCompSize", 2147483647, 2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.property) + " = " + std::to_string(c.written));
        EXPECT_EQ(put(control(), c.property, c.written), S_OK);
        EXPECT_EQ(get(control(), c.property).number(), c.expected);
    }
}

TEST_F(ControlTest, FailureIsReportedThenClearedByTheNextSuccess) {
    CallResult failed = call(control(), "QMBase64Decode", {"YWJ"});
    EXPECT_EQ(failed.hr, S_FALSE);
    EXPECT_EQ(failed.text(), "");
    EXPECT_EQ(errorNum(control()), -10002);
    EXPECT_EQ(errMsg(control()), "Base64解码失败");
    EXPECT_EQ(errMsg(control()), "Base64解码失败");  // reading does not consume it

    CallResult ok = call(control(), "QMBase64Encode", {"abc"});
    EXPECT_EQ(ok.hr, S_OK);
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_EQ(errMsg(control()), "");
}

TEST_F(ControlTest, ServerModeSwitchClearsAPendingError) {
    call(control(), "QMBase64Encode", {""});
    ASSERT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(put(control(), "QMServerMode", 7), S_OK);
    EXPECT_EQ(errorNum(control()), 0);
    EXPECT_EQ(errMsg(control()), "");
}

TEST_F(ControlTest, EmptyAndNullSourcesFailAlike) {
    for (ScriptValue value : {ScriptValue(""), ScriptValue::null()}) {
        EXPECT_EQ(call(control(), "QMBase64Encode", {value}).hr, S_FALSE);
        EXPECT_EQ(errorNum(control()), -10001);
        EXPECT_EQ(errMsg(control()), "源数据为空");
    }
}

TEST_F(ControlTest, SignerDnReadsTheSameTwice) {
    EXPECT_EQ(get(control(), "signerDN").text(), "");
    EXPECT_EQ(get(control(), "signerDN").text(), "");
}

}  // namespace
