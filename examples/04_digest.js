// Digests: the SHA-1 of a text's GBK bytes and of a file, as Base64. The
// demo wrote c:\demo\statement.txt into its home's drive c:.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var qm = new ActiveXObject("Quillmark.KestrinQuillmark");

var digest = qm.QMHashAndBase64Encode("abc");
print("SHA-1 of abc:            ", digest.replace("\n", ""));
check(digest === "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\n", "the digest of abc, with its line feed");

var chinese = qm.QMHashAndBase64Encode("转账一千元");
print("SHA-1 of 转账一千元:     ", chinese.replace("\n", ""));
check(qm.errorNum === 0 && chinese.length === 29, "a digest of GBK text");

var file = qm.QMFileHashAndBase64Encode("c:\\demo\\statement.txt");
print("SHA-1 of the statement:  ", file.replace("\n", ""));
check(qm.errorNum === 0 && file.length === 29, "the digest of a file");

// A path without a folder is refused, as the control always did.
qm.QMFileHashAndBase64Encode("statement.txt");
print("without a folder:        ", qm.errorNum, qm.errMsg);
check(qm.errorNum === -1 && qm.errMsg === "读取文件失败", "a path without a separator fails");

// The first generation hands its digest out once, without a line feed.
qm.hash1Base64("abc");
var once = qm.hash1Base64Result;
print("hash1Base64Result:       ", once, "then", "\"" + qm.hash1Base64Result + "\"");
check(once === "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", "the first generation's digest");
