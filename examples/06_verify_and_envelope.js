// The receiving side: verify what was signed, check the signer's
// certificate against its issuer and the chain, and read the text back.
// Then an envelope: encrypted for a recipient from the other party's stores
// (here the demo user's own certificate in the address book), opened with
// the key in "MY".

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var sender = new ActiveXObject("Quillmark.KestrinQuillmark");
var receiver = new ActiveXObject("Quillmark.KestrinQuillmark");
var text = "工资单 2026-12: 12,345.67 元";

sender.QMSetPlainText(text);
var signature = sender.QMAttachedSign("CN=Demo User");
check(sender.errorNum === 0, "signed: " + sender.errMsg);

receiver.QMAttachedVerify(signature);
print("QMAttachedVerify: errorNum = " + receiver.errorNum);
check(receiver.errorNum === 0, "verified: " + receiver.errMsg);
print("  text:   " + receiver.QMGetPlainText());
print("  signer: " + receiver.QMGetSignerCertInfo(1));
check(receiver.QMGetPlainText() === text, "the text came back");

var detached = sender.QMDetachedSign(text, "CN=Demo User");
receiver.QMDetachedVerify(detached, text);
print("QMDetachedVerify of the same text: errorNum = " + receiver.errorNum);
receiver.QMDetachedVerify(detached, text + ".");
print("QMDetachedVerify of a changed text: errorNum = " + receiver.errorNum + ", errMsg = " + receiver.errMsg);
check(receiver.errorNum === -10010, "a changed text does not verify");

sender.QMSetPlainText("机密: " + text);
var envelope = sender.QMEncryptedEnvelop("CN=Demo User");
check(sender.errorNum === 0, "sealed: " + sender.errMsg);
print("QMEncryptedEnvelop for " + sender.QMGetReciptCertInfo(1) + ": " + envelope.length + " characters");
receiver.QMDecryptEnvelop(envelope);
check(receiver.errorNum === 0, "opened: " + receiver.errMsg);
print("QMDecryptEnvelop: " + receiver.QMGetPlainText());

sender.QMSetPlainText("签名并加密: " + text);
var both = sender.QMSignedAndEncryptedEnvelop("CN=Demo User", "CN=Demo User");
check(sender.errorNum === 0, "signed and sealed: " + sender.errMsg);
receiver.QMDecryptedAndVerifiedEnvelop(both);
check(receiver.errorNum === 0, "opened and verified: " + receiver.errMsg);
print("QMDecryptedAndVerifiedEnvelop: " + receiver.QMGetPlainText());
print("  signed by " + receiver.QMGetSignerCertInfo(1) + ", serial " + receiver.QMGetSignerCertInfo(5));
