#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "control/dispatch_table.h"
#include "control_fixture.h"
#include "resources/resources.h"

using namespace testing_support;

namespace {

DISPID lookUp(IDispatch* object, const char16_t* name, HRESULT* hr = nullptr) {
    std::u16string copy(name);
    LPOLESTR names[] = {copy.data()};
    DISPID id = 12345;
    const HRESULT result = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (hr) *hr = result;
    return id;
}

TEST_F(ControlTest, NamesResolveToTheirIdentifiers) {
    struct Case {
        const char16_t* name;
        DISPID id;
    } cases[] = {
        {u"makeAttachedSign", 1}, {u"defaultDN", 10},       {u"errorNum", 11},  {u"base64In", 25},
        {u"QMBase64Encode", 30},  {u"errMsg", 49},          {u"MaxSignSize", 57}, {u"MaxCompSize", 58},
        {u"QMFileHashAndBase64Encode", 68},
        {u"ERRORNUM", 11},  // automation compares names without regard to case
    };
    for (const Case& c : cases) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(lookUp(control(), c.name, &hr), c.id);
        EXPECT_EQ(hr, S_OK);
    }
    HRESULT hr = S_OK;
    EXPECT_EQ(lookUp(control(), u"noSuchMember", &hr), DISPID_UNKNOWN);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
}

TEST_F(ControlTest, UnusedIdentifiersAreUnknown) {
    for (DISPID id : {7, 8, 9, 22, 23, 24, 0, 69}) {
        SCOPED_TRACE(id);
        DISPPARAMS none;
        com::Variant result;
        for (uint16_t flags : {DISPATCH_METHOD, DISPATCH_PROPERTYGET}) {
            EXPECT_EQ(control()->Invoke(id, IID_NULL, 0, flags, &none, result.get(), nullptr, nullptr),
                      DISP_E_MEMBERNOTFOUND);
        }
    }
}

TEST_F(ControlTest, PropertyGetAndPutShareOneIdentifier) {
    EXPECT_EQ(put(control(), "MaxSignSize", 1234), S_OK);
    EXPECT_EQ(get(control(), "MaxSignSize").number(), 1234);
    EXPECT_EQ(put(control(), "MaxCompSize", 99), S_OK);
    EXPECT_EQ(get(control(), "MaxCompSize").number(), 99);
}

TEST_F(ControlTest, InvocationFollowsAutomationRules) {
    // A method is not a property and a put-only property cannot be read.
    EXPECT_EQ(get(control(), "QMBase64Encode").hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(get(control(), "DNspliter").hr, DISP_E_MEMBERNOTFOUND);
    // Too many arguments.
    EXPECT_EQ(call(control(), "QMBase64Encode", {"a", "b"}).hr, DISP_E_BADPARAMCOUNT);
    // A number where a string is taken is converted, as automation does.
    CallResult encoded = call(control(), "QMBase64Encode", {123});
    EXPECT_EQ(encoded.hr, S_OK);
    EXPECT_EQ(encoded.text(), "MTIz\n");
    // A put without its named argument.
    DISPPARAMS params;
    VARIANT value;
    value.vt = VT_I4;
    value.lVal = 5;
    params.rgvarg = &value;
    params.cArgs = 1;
    DISPID id = lookUp(control(), u"MaxCompSize");
    EXPECT_EQ(control()->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
              DISP_E_PARAMNOTOPTIONAL);
    // Another interface identifier than IID_NULL.
    EXPECT_EQ(control()->Invoke(id, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &params, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
}

TEST_F(ControlTest, MissingAndNullArgumentsArriveAsNullStrings) {
    // Both reach the member as "no source data".
    EXPECT_EQ(call(control(), "QMBase64Encode").hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
    EXPECT_EQ(call(control(), "QMBase64Encode", {ScriptValue::null()}).hr, S_FALSE);
    EXPECT_EQ(errorNum(control()), -10001);
}

TEST(MemberTable, HoldsEveryMemberOnceInTableOrder) {
    const auto& table = qm::memberTable();
    ASSERT_EQ(table.size(), 64u);
    std::set<std::pair<DISPID, qm::MemberKind>> seen;
    for (const auto& member : table) {
        SCOPED_TRACE(std::string(member.name));
        EXPECT_TRUE(seen.insert({member.dispid, member.kind}).second) << "identifier and kind used twice";
        EXPECT_TRUE((member.dispid >= 1 && member.dispid <= 6) || (member.dispid >= 10 && member.dispid <= 21) ||
                    (member.dispid >= 25 && member.dispid <= 68));
        // Puts take exactly their value; gets give exactly their value.
        if (member.kind == qm::MemberKind::PropertyPut) {
            EXPECT_EQ(member.params.size(), 1u);
            EXPECT_TRUE(member.params[0].name.empty());
        }
        if (member.kind == qm::MemberKind::PropertyGet) {
            EXPECT_EQ(member.params.size(), 1u);
            EXPECT_TRUE(member.hasRetval());
        }
        for (size_t i = 0; i + 1 < member.params.size(); ++i) {
            EXPECT_NE(member.params[i].direction, qm::ParamDirection::OutRetval) << "retval must come last";
        }
    }
}

TEST(MemberTable, TypeLibraryDescriptionMatchesTheTable) {
    const std::string described = qm::describeTypeLibrary();
    // QUILLMARK_UPDATE_IDL=1 rewrites the description after a deliberate
    // change of the interface.
    if (const char* update = std::getenv("QUILLMARK_UPDATE_IDL"); update && *update == '1') {
        std::ofstream(QUILLMARK_SOURCE_DIR "/resources/quillmark.idl", std::ios::binary) << described;
    }
    EXPECT_EQ(std::string(resources::typeLibrary()), described)
        << "resources/quillmark.idl and the member table disagree";
    // A few lines as a reader of the library expects them.
    for (const char* line : {
             "\t[propget, id(11), helpstring(\"property errorNum\")] HRESULT errorNum([out, retval] long* pVal);\n",
             "\t[propput, id(57), helpstring(\"property MaxSignSize\")] HRESULT MaxSignSize([in] long);\n",
             "\t[id(5), helpstring(\"method addFileName\")] HRESULT addFileName(BSTR __MIDL_0011);\n",
             "\t[id(13), helpstring(\"method verifyAttachedSign\")] HRESULT verifyAttachedSign(BSTR swSign, long "
             "savePlain);\n",
             "\t[id(47), helpstring(\"method QMGetSignerCertInfo\")] HRESULT QMGetSignerCertInfo([in] unsigned long "
             "type, [out, retval] BSTR* pVal);\n",
             "\thelpstring(\"MorvaneQuillmarkGEx 1.0 Type Library\")\n",
         }) {
        EXPECT_NE(described.find(line), std::string::npos) << line;
    }
}

}  // namespace
