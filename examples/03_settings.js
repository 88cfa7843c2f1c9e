// The control's settings. A new control takes its signing limit from the
// registry ("maxsize", in kilobytes, which registration sets to 5000); the
// properties clamp and ignore values as the control always has.

function check(condition, what) {
    if (!condition) throw new Error("unexpected: " + what);
}

var qm = new ActiveXObject("Quillmark.KestrinQuillmark");

print("MaxSignSize =", qm.MaxSignSize, " MaxCompSize =", qm.MaxCompSize);
check(qm.MaxSignSize === 5000 * 1024, "the registered limit");
check(qm.MaxCompSize === 51200, "the default compression threshold");

qm.MaxSignSize = 20000000;
print("MaxSignSize = 20000000 stores", qm.MaxSignSize);
check(qm.MaxSignSize === 10240000, "the limit is capped");
qm.MaxSignSize = 4096;
qm.MaxSignSize = 0;
print("MaxSignSize = 4096, then 0, leaves", qm.MaxSignSize);
check(qm.MaxSignSize === 4096, "zero is ignored");

qm.MaxCompSize = 1;
qm.MaxCompSize = -1;
print("MaxCompSize = 1, then -1, leaves", qm.MaxCompSize);
check(qm.MaxCompSize === 1, "a negative threshold is ignored");

qm.QMBase64Decode("YWJ");
print("after a failed member: errorNum =", qm.errorNum, " errMsg =", qm.errMsg);
qm.QMServerMode = 7;
print("QMServerMode = 7 clears it: errorNum =", qm.errorNum, " errMsg = \"" + qm.errMsg + "\"");
check(qm.errorNum === 0 && qm.errMsg === "", "server mode clears a pending error");

var version = qm.getVersion();
print("getVersion() =", version);
check(version.length > 0, "the control names its version");
