// Advanced signing through a hardware token: the demo's SoftHSM2 token holds
// the key of "Token User". The page stages a warning (shown with the PIN
// request, so the user sees what is signed), a CSP hash text, a key hash text
// and a file; the token signs; the receiving side verifies and reads the
// parts back.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var signer = new ActiveXObject("Quillmark.KestrinQuillmark");
signer.QMSetWarningMsg("您正在签署: 转账 1,000.00 元至 6222 0000 8765 4321");
signer.QMSetCSPHashMsg("CSP hash: 8UokZ0YjzpylmpY/P3gjV/VlQk4=");
signer.QMSetKeyHashMsg("key hash line 1\r\nkey hash line 2");
signer.QMSetUserFileName("c:\\demo\\statement.txt");
check(signer.errorNum === 0, "staged: " + signer.errMsg);

var signature = signer.QMAdvFendrelAttachedSign("CN=Token User");
check(signer.errorNum === 0, "signed on the token: " + signer.errMsg);
print("QMAdvFendrelAttachedSign: " + signature.length + " characters, signer " + signer.QMGetSignerCertInfo(1));

var receiver = new ActiveXObject("Quillmark.KestrinQuillmark");
receiver.QMAdvFendrelAfterwardsVerify(signature);
check(receiver.errorNum === 0, "verified: " + receiver.errMsg);
var names = ["CSP hash", "key hash", "file name", "file data"];
for (var type = 1; type <= 4; ++type) {
    var part = receiver.QMGetAdvFendrelPlainText(type);
    print("  " + names[type - 1] + ": " + part.replace(/\n/g, "\\n"));
}
check(receiver.QMGetAdvFendrelPlainText(2) === "key hash line 1\nkey hash line 2", "CR LF became LF");
check(receiver.QMGetAdvFendrelPlainText(3) === "statement.txt", "the file's name");

// The staged parts were consumed by the signature.
signer.QMAdvFendrelAttachedSign("CN=Token User");
print("signing again: errorNum = " + signer.errorNum + ", errMsg = " + signer.errMsg);
check(signer.errorNum === -10001, "nothing staged any more");
