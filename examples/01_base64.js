// Base64 through the control. The text that is encoded is the GBK form of the
// page's string, so Chinese text travels as two bytes a character.
//
// The QM members hand their result back at once and report through errorNum
// and errMsg; the first-generation members stage their input in base64In and
// hand the result out, once, from base64Out.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}
function shown(text) {
    return "\"" + text.replace(/\n/g, "\\n") + "\"";
}

var qm = new ActiveXObject("Quillmark.KestrinQuillmark");
var text = "中文签名";

var encoded = qm.QMBase64Encode(text);
print("QMBase64Encode(" + shown(text) + ") =", shown(encoded), " errorNum =", qm.errorNum);
check(encoded === "1tDOxMepw/s=\n", "the GBK bytes of the text, as one wrapped line");

var decoded = qm.QMBase64Decode(encoded);
print("QMBase64Decode of it =", shown(decoded), " errorNum =", qm.errorNum);
check(decoded === text, "the round trip gives the text back");

qm.base64In = text;
qm.Base64Encode();
var plain = qm.base64Out;
print("base64In, Base64Encode(), base64Out =", shown(plain));
check(plain === "1tDOxMepw/s=", "the plain form has no line feed");
var again = qm.base64Out;
print("base64Out read a second time =", shown(again));
check(again === "", "base64Out hands its result out once");

var failed = qm.QMBase64Decode("YWJ");
print("QMBase64Decode(\"YWJ\") =", shown(failed), " errorNum =", qm.errorNum, " errMsg =", qm.errMsg);
check(failed === "" && qm.errorNum === -10002, "an unfinished last group fails");
check(qm.errMsg === "Base64解码失败", "the member's own message");
