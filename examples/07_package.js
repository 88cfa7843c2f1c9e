// A form with a file, signed as one message and taken apart again.
//
// The sending page adds each form field and the file; the control packs them
// into one agreed plaintext, which QMAttachedSign signs. The receiving page
// verifies the message and takes the fields and the file out one call at a
// time, oldest first. It runs in server mode, as a bank's server would: no
// dialog opens, and the file is saved into the folder the registry names
// (stubPath, c:\quillmarkStub\ as registered).

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var sender = new ActiveXObject("Quillmark.KestrinQuillmark");
var fields = ["payee=张三", "account=6222 0000 8765 4321", "amount=1,000.00"];
for (var i = 0; i < fields.length; ++i) {
    sender.QMAddFormItem(fields[i]);
    check(sender.errorNum === 0, "field added: " + sender.errMsg);
}
sender.QMAddFile("c:\\demo\\statement.txt");
check(sender.errorNum === 0, "file added: " + sender.errMsg);
var signature = sender.QMAttachedSign("CN=Demo User");
check(sender.errorNum === 0, "signed: " + sender.errMsg);
print("QMAttachedSign over " + fields.length + " fields and a file: " + signature.length + " characters");

var receiver = new ActiveXObject("Quillmark.KestrinQuillmark");
receiver.QMServerMode = 1;
receiver.QMAttachedVerify(signature);
check(receiver.errorNum === 0, "verified: " + receiver.errMsg);
print("signed by " + receiver.QMGetSignerCertInfo(1));

var received = [];
for (var item = receiver.QMGetFormItem(); item !== ""; item = receiver.QMGetFormItem()) {
    print("QMGetFormItem: " + item);
    received.push(item);
}
check(receiver.errorNum === 0, "the fields came out: " + receiver.errMsg);
check(received.join("|") === fields.join("|"), "the fields in their order");

var name = receiver.QMGetFile();
check(receiver.errorNum === 0, "the file came out: " + receiver.errMsg);
print("QMGetFile: " + name + ", saved as c:\\quillmarkStub\\" + name);
check(name === "statement.txt", "the file's name");

// The saved copy has the sender's bytes.
var sent = sender.QMFileHashAndBase64Encode("c:\\demo\\statement.txt");
var saved = sender.QMFileHashAndBase64Encode("c:\\quillmarkStub\\" + name);
check(sent === saved, "the saved file matches the one sent");
print("SHA-1 of both copies: " + saved.replace(/\n/g, ""));

// Nothing is left: a further call reports that the package is used up.
receiver.QMGetFile();
print("once more: errorNum = " + receiver.errorNum + ", errMsg = " + receiver.errMsg);
check(receiver.errorNum === -10032, "the package is used up");
