// Signing with the user's certificate from the "MY" store. The demo user is
// named by a partial DN, so no chooser opens; the signature is a PKCS #7
// SignedData (SHA-1, the signer's certificate inside) as wrapped Base64.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var qm = new ActiveXObject("Quillmark.KestrinQuillmark");
var text = "转账 1,000.00 元至 6222 0000 8765 4321";

var detached = qm.QMDetachedSign(text, "CN=Demo User");
check(qm.errorNum === 0, "the detached signature: " + qm.errMsg);
var lines = detached.split("\n");
print("QMDetachedSign: " + (lines.length - 1) + " lines of Base64, the first:");
print("  " + lines[0]);

print("signer:");
var labels = ["subject", "issuer", "valid from", "valid to", "serial"];
for (var type = 1; type <= 5; ++type) {
    print("  " + labels[type - 1] + ": " + qm.QMGetSignerCertInfo(type));
}
check(qm.QMGetSignerCertInfo(1) === "C=CN, O=Quillmark Bank, OU=Online Banking, CN=Demo User", "the signer");

// Attached: the text is staged first and travels inside the signature.
qm.QMSetPlainText(text);
var attached = qm.QMAttachedSign("CN=Demo User");
check(qm.errorNum === 0, "the attached signature: " + qm.errMsg);
print("QMAttachedSign: " + attached.length + " characters");

// The staged text is consumed: a second attached signature has nothing to sign.
qm.QMAttachedSign("CN=Demo User");
print("signing again: errorNum = " + qm.errorNum + ", errMsg = " + qm.errMsg);
check(qm.errorNum === -10001, "the staged text was released");
