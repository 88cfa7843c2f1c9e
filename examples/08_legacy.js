// The first-generation interface, as older pages use it: input staged in
// properties and adders, a make method without arguments, errorNum, and a
// result property that hands its text out once, as one line of Base64.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var bank = new ActiveXObject("Quillmark.KestrinQuillmark");
var branch = new ActiveXObject("Quillmark.KestrinQuillmark");

// A form item and a file, packed into one plaintext and signed by the demo
// user, whom the partial DN names without a chooser.
bank.addFormItem("转账 1,000.00 元至 6222 0000 8765 4321");
bank.addFileName("c:\\demo\\statement.txt");
bank.defaultDN = "CN=Demo User";
bank.makeAttachedSign();
check(bank.errorNum === 0, "makeAttachedSign: errorNum " + bank.errorNum);
var signature = bank.attachedSign;
print("makeAttachedSign by " + bank.signerDN + ": " + signature.length + " characters of Base64");
check(bank.attachedSign === "", "a result is handed out once");

// The receiving side checks the signer against its issuer and the chain.
branch.verifyAttachedSign(signature, 0);
check(branch.errorNum === 0, "verifyAttachedSign: errorNum " + branch.errorNum);
print("verifyAttachedSign: errorNum = " + branch.errorNum + ", signer " + branch.signerDN);
print("  the signed plaintext, Base64: " + branch.signsPlaintextBase64.length + " characters");
print("  its SHA-1, Base64:            " + branch.signsHashBase64);

// showPlainText makes signing ask first (answered "yes" in 08_legacy.answers);
// without defaultDN the user picks the certificate (the second one, 张三).
var teller = new ActiveXObject("Quillmark.KestrinQuillmark");
teller.showPlainText();
teller.plainTextForDetachedSign = "柜员确认: 对账单 2026-12";
teller.makeDetachedSign();
check(teller.errorNum === 0, "makeDetachedSign: errorNum " + teller.errorNum);
print("makeDetachedSign by " + teller.signerDN + ": " + teller.detachedSign.length + " characters");

// Signed, then encrypted for a recipient named by its whole subject, here in
// reverse order; the second generation's member opens it.
bank.addFormItem("机密: 工资单 2026-12");
bank.defaultDNRecv = "CN=Demo User,OU=Online Banking,O=Quillmark Bank,C=CN";
bank.makeSignAndEncryptEnvelop();
check(bank.errorNum === 0, "makeSignAndEncryptEnvelop: errorNum " + bank.errorNum);
branch.QMDecryptedAndVerifiedEnvelop(bank.signAndEncryptEnvelop);
check(branch.errorNum === 0, "opened: " + branch.errMsg);
print("QMDecryptedAndVerifiedEnvelop: " + branch.QMGetPlainText());

// Failures come as a box (answered "ok") and a small code in errorNum.
bank.makeAttachedSign();
print("makeAttachedSign with nothing staged: errorNum = " + bank.errorNum);
check(bank.errorNum === -11, "nothing was staged");
